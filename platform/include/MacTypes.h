// Basic Mac OS X scalar types and status codes shared by every stand-in framework.
// Threading: plain types, no state. Ownership: none.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef unsigned char Boolean;
typedef UInt16 UniChar;
typedef UInt32 UTF32Char;
typedef UInt32 UniCharCount;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef UInt32 ItemCount;
typedef UInt32 ByteCount;
typedef SInt64 SInt64Offset;
typedef void* Ptr;

typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;
typedef const unsigned char* ConstStr255Param;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

enum { noErr = 0 };
enum { kNilOptions = 0 };
