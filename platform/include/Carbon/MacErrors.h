// Carbon result codes shared by every stand-in framework (File Manager, Process Manager,
// Launch Services, ...), with Apple's names and values. noErr lives in MacTypes.h.
// Threading: constants only. Ownership: none.
#pragma once

#include <MacTypes.h>

// File Manager
enum {
    dskFulErr = -34,   // disk or quota full
    nsvErr = -35,      // no such volume
    ioErr = -36,       // I/O error
    bdNamErr = -37,    // bad file or path name
    fnOpnErr = -38,    // file not open
    eofErr = -39,      // end of file
    posErr = -40,      // position before the start of the file
    tmfoErr = -42,     // too many files open
    fnfErr = -43,      // file not found
    wPrErr = -44,      // volume write-protected
    fLckdErr = -45,    // file locked
    vLckdErr = -46,    // volume locked
    fBsyErr = -47,     // file busy, directory not empty
    dupFNErr = -48,    // name already exists
    opWrErr = -49,     // file already open for writing
    paramErr = -50,    // bad parameter
    rfNumErr = -51,    // bad fork reference number
    permErr = -54,     // permission error on open
    wrPermErr = -61,   // fork not open for writing
    memFullErr = -108, // out of memory
    dirNFErr = -120,   // directory not found
    volGoneErr = -124, // server volume disconnected
};

enum {
    volOffLinErr = -53, // volume no longer mounted where it was found
};

enum {
    notAFileErr = -1302, // a directory (or link) where a file was needed
    errFSBadFSRef = -1401,
    errFSRefsDifferent = -1420,
    errFSBadForkName = -1402,
    errFSBadBuffer = -1403,
    errFSBadForkRef = -1404,
    errFSBadInfoBitmap = -1405,
    errFSNotAFolder = -1407,
    errFSForkNotFound = -1409,
    errFSNameTooLong = -1410,
    errFSBadPosMode = -1412,
};

enum {
    afpAccessDenied = -5000, // what the File Manager returns for EACCES/EPERM
};

// General
enum {
    userCanceledErr = -128, // the user (here: a quit signal) cancelled the operation
};

// Process Manager
enum {
    procNotFound = -600,
};

// Apple Event Manager
enum {
    errAECoercionFail = -1700,    // data could not be had as the type asked for
    errAEDescNotFound = -1701,    // no such parameter or attribute
    errAECorruptData = -1702,     // an event that could not be read
    errAEWrongDataType = -1703,   // not a list or record where one was needed
    errAENotAEDesc = -1704,       // not a descriptor
    errAENotAppleEvent = -1707,   // not an Apple event (nor a record)
    errAEEventNotHandled = -1708, // no handler for the event, or the handler declined it
    errAETimeout = -1712,         // no answer in time
    errAEHandlerNotFound = -1717, // no such handler installed
    errAEIllegalIndex = -1719,    // index out of range
};

// Launch Services
enum {
    kLSApplicationNotFoundErr = -10814,
    kLSNoExecutableErr = -10827,
};
