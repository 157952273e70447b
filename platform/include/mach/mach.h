// The few Mach kernel types and calls that IOKit clients name: ports, status codes,
// the task port and time specifications. There is no Mach kernel underneath; a
// port here is only a 32-bit name.
// Threading: plain types; mach_task_self() may be called from any thread.
// Ownership: none; the task port is never released.
#pragma once

#include <stdint.h>

typedef unsigned int natural_t;
typedef int integer_t;
typedef int kern_return_t;
typedef int boolean_t;

typedef natural_t mach_port_name_t;
typedef mach_port_name_t mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t task_port_t;
typedef mach_port_t ipc_space_t;

#define MACH_PORT_NULL ((mach_port_t)0)
#define MACH_PORT_VALID(name) ((name) != MACH_PORT_NULL && (name) != ~(mach_port_t)0)

#define KERN_SUCCESS 0
#define KERN_INVALID_ADDRESS 1
#define KERN_PROTECTION_FAILURE 2
#define KERN_NO_SPACE 3
#define KERN_INVALID_ARGUMENT 4
#define KERN_FAILURE 5
#define KERN_RESOURCE_SHORTAGE 6
#define KERN_INVALID_NAME 15
#define KERN_INVALID_RIGHT 17
#define KERN_OPERATION_TIMED_OUT 49

#define MACH_SEND_INVALID_DEST 0x10000003
#define MACH_SEND_TIMED_OUT 0x10000004

typedef int clock_res_t;

struct mach_timespec {
    unsigned int tv_sec;
    clock_res_t tv_nsec;
};
typedef struct mach_timespec mach_timespec_t;

#ifdef __cplusplus
extern "C" {
#endif

// The calling task's own port: the same non-zero name on every call in one process.
mach_port_t mach_task_self(void);

#ifdef __cplusplus
}
#endif
