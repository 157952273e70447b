// Apple event descriptors: typed data (AEDesc), lists of descriptors (AEDescList) and the
// Apple event itself, a record of keyword-tagged parameters. Only the subset an application
// needs to read the documents of an open-documents event, and to build such lists itself.
//
// A descriptor's storage is private to this stand-in. Coercion is what the subset needs: a
// request for the descriptor's own type or typeWildCard gives it unchanged, and a single
// descriptor asked for as typeAEList gives a list of that one item; anything else is
// errAECoercionFail.
//
// Threading: a descriptor belongs to one thread at a time; distinct descriptors may be used
// on distinct threads. Ownership: every AEDesc an AE call fills in (result, resultList) is
// owned by the caller, who gives it back with AEDisposeDesc; the calls copy whatever data
// they are passed. AEDisposeDesc leaves a null descriptor, so disposing twice is harmless.
#pragma once

#include <MacTypes.h>

typedef FourCharCode DescType;
typedef FourCharCode AEKeyword;
typedef FourCharCode AEEventClass;
typedef FourCharCode AEEventID;
typedef long Size;

struct OpaqueAEDataStorageType;
typedef struct OpaqueAEDataStorageType* AEDataStorageType;
typedef AEDataStorageType* AEDataStorage;

struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
};
typedef struct AEDesc AEDesc;
typedef AEDesc* AEDescPtr;
typedef AEDesc AEAddressDesc;
typedef AEDesc AEDescList;
typedef AEDescList AERecord;
typedef AERecord AppleEvent;
typedef AppleEvent* AppleEventPtr;

// Descriptor types.
enum {
    typeNull = 0x6E756C6C,       // 'null'
    typeWildCard = 0x2A2A2A2A,   // '****'
    typeAEList = 0x6C697374,     // 'list'
    typeAERecord = 0x7265636F,   // 'reco'
    typeAppleEvent = 0x61657674, // 'aevt'
    typeFSRef = 0x66737266,      // 'fsrf'
    typeFileURL = 0x6675726C,    // 'furl'
    typeUTF8Text = 0x75746638,   // 'utf8'
    typeChar = 0x54455854,       // 'TEXT'
    typeSInt32 = 0x6C6F6E67,     // 'long'
    typeType = 0x74797065,       // 'type'
};

// Keywords.
enum {
    keyDirectObject = 0x2D2D2D2D,   // '----'
    keyErrorNumber = 0x6572726E,    // 'errn'
    keyErrorString = 0x65727273,    // 'errs'
    keyEventClassAttr = 0x6576636C, // 'evcl'
    keyEventIDAttr = 0x65766964     // 'evid'
};

#ifdef __cplusplus
extern "C" {
#endif

// A null descriptor (typeNull, no data).
void AEInitializeDesc(AEDesc* desc);
// A descriptor of typeCode holding a copy of dataSize bytes. typeAEList, typeAERecord and
// typeAppleEvent are made by AECreateList or arrive in events, never from bytes (paramErr).
OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
OSErr AEDuplicateDesc(const AEDesc* theAEDesc, AEDesc* result);
OSErr AEDisposeDesc(AEDesc* theAEDesc);
// The bytes of a data descriptor; 0 for lists, records and null descriptors.
Size AEGetDescDataSize(const AEDesc* theAEDesc);
OSErr AEGetDescData(const AEDesc* theAEDesc, void* dataPtr, Size maximumSize);

// An empty list, or an empty record when isRecord. Factoring is not supported (paramErr when
// factoredSize is not 0).
OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord,
                   AEDescList* resultList);
// Items of a list, or parameters of a record or event; errAEWrongDataType for anything else.
OSErr AECountItems(const AEDescList* theAEDescList, long* theCount);
// Puts a copy at index (1-based); index 0 or count + 1 appends. errAEIllegalIndex beyond.
OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr,
               Size dataSize);
OSErr AEPutDesc(AEDescList* theAEDescList, long index, const AEDesc* theAEDesc);
// Item index (1-based) coerced to desiredType. AEGetNthPtr copies at most maximumSize bytes
// and reports the whole size in actualSize; theAEKeyword, typeCode and actualSize may be NULL.
// errAEIllegalIndex for an index out of range, errAECoercionFail when the item cannot be had
// as desiredType, errAEWrongDataType when the descriptor is not a list or record.
OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType,
                  AEKeyword* theAEKeyword, DescType* typeCode, void* dataPtr, Size maximumSize,
                  Size* actualSize);
OSErr AEGetNthDesc(const AEDescList* theAEDescList, long index, DescType desiredType,
                   AEKeyword* theAEKeyword, AEDesc* result);

// Parameters of an Apple event (or a record) by keyword: errAEDescNotFound when absent,
// errAECoercionFail when not to be had as desiredType, errAENotAppleEvent when the
// descriptor is neither an event nor a record.
OSErr AEGetParamDesc(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                     AEDesc* result);
OSErr AEGetParamPtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize);
OSErr AEPutParamDesc(AppleEvent* theAppleEvent, AEKeyword theAEKeyword, const AEDesc* theAEDesc);
OSErr AEPutParamPtr(AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType typeCode,
                    const void* dataPtr, Size dataSize);
// keyEventClassAttr and keyEventIDAttr of an event, as typeType.
OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr, Size maximumSize,
                        Size* actualSize);

#ifdef __cplusplus
}
#endif
