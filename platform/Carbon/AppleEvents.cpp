// Apple event descriptors and the handler table. The transport that brings events from
// other processes is in AppleEvents_Linux.cpp.
#include "AppleEvents_Internal.h"

#include <Carbon/AEDataModel.h>
#include <Carbon/AppleEvents.h>
#include <Carbon/MacErrors.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr AEEventID kAEAnswer = 0x616E7372; // 'ansr'

// What an AEDesc's dataHandle points to: the bytes of a data descriptor, or the items of a
// list (keyword 0), a record or an event (keyword-tagged parameters). Items are owned.
struct Storage {
    std::vector<UInt8> bytes;
    std::vector<std::pair<AEKeyword, AEDesc>> items;
    AEEventClass eventClass = 0;
    AEEventID eventID = 0;

    Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage() {
        for (auto& item : items)
            AEDisposeDesc(&item.second);
    }
};

Storage* StorageOf(const AEDesc* desc) {
    return reinterpret_cast<Storage*>(desc->dataHandle);
}

void Adopt(std::unique_ptr<Storage> storage, DescType type, AEDesc* result) {
    result->descriptorType = type;
    result->dataHandle = reinterpret_cast<AEDataStorage>(storage.release());
}

bool IsContainer(DescType type) {
    return type == typeAEList || type == typeAERecord || type == typeAppleEvent;
}

bool IsKeyed(DescType type) {
    return type == typeAERecord || type == typeAppleEvent;
}

// A container that is not, or whose storage is missing, is a corrupt descriptor.
Storage* ContainerOf(const AEDesc* desc) {
    if (desc == nullptr || !IsContainer(desc->descriptorType))
        return nullptr;
    return StorageOf(desc);
}

// The C interface must not let an allocation failure escape.
template <typename Body> OSErr Guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return memFullErr;
    }
}

OSErr Copy(const AEDesc& from, AEDesc* to) {
    AEInitializeDesc(to);
    Storage* source = StorageOf(&from);
    if (source == nullptr) {
        to->descriptorType = from.descriptorType;
        return noErr;
    }
    auto copy = std::make_unique<Storage>();
    copy->bytes = source->bytes;
    copy->eventClass = source->eventClass;
    copy->eventID = source->eventID;
    for (const auto& [keyword, item] : source->items) {
        AEDesc itemCopy;
        OSErr err = Copy(item, &itemCopy);
        if (err != noErr)
            return err;
        try {
            copy->items.emplace_back(keyword, itemCopy);
        } catch (...) {
            AEDisposeDesc(&itemCopy);
            throw;
        }
    }
    Adopt(std::move(copy), from.descriptorType, to);
    return noErr;
}

// What a parameter or list item is as desiredType.
OSErr Coerce(const AEDesc& from, DescType desiredType, AEDesc* to) {
    AEInitializeDesc(to);
    if (desiredType == typeWildCard || desiredType == from.descriptorType)
        return Copy(from, to);
    if (desiredType == typeAEList && !IsContainer(from.descriptorType)) {
        auto list = std::make_unique<Storage>();
        AEDesc item;
        OSErr err = Copy(from, &item);
        if (err != noErr)
            return err;
        try {
            list->items.emplace_back(0, item);
        } catch (...) {
            AEDisposeDesc(&item);
            throw;
        }
        Adopt(std::move(list), typeAEList, to);
        return noErr;
    }
    return errAECoercionFail;
}

OSErr CopyOut(const AEDesc& from, DescType desiredType, DescType* typeCode, void* dataPtr,
              Size maximumSize, Size* actualSize) {
    if (maximumSize < 0 || (dataPtr == nullptr && maximumSize > 0))
        return paramErr;
    if (desiredType != typeWildCard && desiredType != from.descriptorType)
        return errAECoercionFail;
    if (IsContainer(from.descriptorType))
        return errAECoercionFail; // no flattened form here
    Storage* storage = StorageOf(&from);
    size_t size = storage ? storage->bytes.size() : 0;
    if (size > 0 && maximumSize > 0)
        std::memcpy(dataPtr, storage->bytes.data(),
                    std::min(size, static_cast<size_t>(maximumSize)));
    if (typeCode != nullptr)
        *typeCode = from.descriptorType;
    if (actualSize != nullptr)
        *actualSize = static_cast<Size>(size);
    return noErr;
}

const AEDesc* FindParam(const Storage& record, AEKeyword keyword) {
    for (const auto& [key, item] : record.items)
        if (key == keyword)
            return &item;
    return nullptr;
}

OSErr PutItem(Storage& list, long index, AEKeyword keyword, const AEDesc& item) {
    long count = static_cast<long>(list.items.size());
    if (index < 0 || index > count + 1)
        return errAEIllegalIndex;
    AEDesc copy;
    OSErr err = Copy(item, &copy);
    if (err != noErr)
        return err;
    if (index == 0 || index == count + 1) {
        try {
            list.items.emplace_back(keyword, copy);
        } catch (...) {
            AEDisposeDesc(&copy);
            throw;
        }
    } else {
        auto& slot = list.items[static_cast<size_t>(index - 1)];
        AEDisposeDesc(&slot.second);
        slot = {keyword, copy};
    }
    return noErr;
}

OSErr PutParam(Storage& record, AEKeyword keyword, const AEDesc& item) {
    for (size_t i = 0; i < record.items.size(); ++i)
        if (record.items[i].first == keyword)
            return PutItem(record, static_cast<long>(i + 1), keyword, item);
    return PutItem(record, 0, keyword, item);
}

// Handlers by (class, ID). Installed on the main thread, but the lock costs nothing and
// keeps a stray call from another thread from tearing the table.
struct Handler {
    AEEventHandlerUPP routine;
    SRefCon refcon;
};
std::mutex gHandlersMutex;
std::map<std::pair<AEEventClass, AEEventID>, Handler>& Handlers() {
    static auto* handlers = new std::map<std::pair<AEEventClass, AEEventID>, Handler>;
    return *handlers;
}

bool LookUpHandler(AEEventClass eventClass, AEEventID eventID, Handler& found) {
    std::lock_guard<std::mutex> guard(gHandlersMutex);
    const auto& handlers = Handlers();
    for (auto key :
         {std::make_pair(eventClass, eventID), std::make_pair(eventClass, AEEventID(typeWildCard)),
          std::make_pair(AEEventClass(typeWildCard), eventID),
          std::make_pair(AEEventClass(typeWildCard), AEEventID(typeWildCard))}) {
        auto at = handlers.find(key);
        if (at != handlers.end()) {
            found = at->second;
            return true;
        }
    }
    return false;
}

} // namespace

void AEInitializeDesc(AEDesc* desc) {
    if (desc == nullptr)
        return;
    desc->descriptorType = typeNull;
    desc->dataHandle = nullptr;
}

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result) {
    if (result == nullptr)
        return paramErr;
    AEInitializeDesc(result);
    if (IsContainer(typeCode) || dataSize < 0 || (dataPtr == nullptr && dataSize > 0))
        return paramErr;
    if (typeCode == typeNull && dataSize == 0)
        return noErr;
    return Guarded([&] {
        auto storage = std::make_unique<Storage>();
        const auto* bytes = static_cast<const UInt8*>(dataPtr);
        storage->bytes.assign(bytes, bytes + dataSize);
        Adopt(std::move(storage), typeCode, result);
        return OSErr(noErr);
    });
}

OSErr AEDuplicateDesc(const AEDesc* theAEDesc, AEDesc* result) {
    if (theAEDesc == nullptr || result == nullptr)
        return paramErr;
    return Guarded([&] { return Copy(*theAEDesc, result); });
}

OSErr AEDisposeDesc(AEDesc* theAEDesc) {
    if (theAEDesc == nullptr)
        return paramErr;
    delete StorageOf(theAEDesc);
    AEInitializeDesc(theAEDesc);
    return noErr;
}

Size AEGetDescDataSize(const AEDesc* theAEDesc) {
    if (theAEDesc == nullptr || IsContainer(theAEDesc->descriptorType))
        return 0;
    Storage* storage = StorageOf(theAEDesc);
    return storage ? static_cast<Size>(storage->bytes.size()) : 0;
}

OSErr AEGetDescData(const AEDesc* theAEDesc, void* dataPtr, Size maximumSize) {
    if (theAEDesc == nullptr)
        return paramErr;
    return CopyOut(*theAEDesc, typeWildCard, nullptr, dataPtr, maximumSize, nullptr);
}

OSErr AECreateList(const void*, Size factoredSize, Boolean isRecord, AEDescList* resultList) {
    if (resultList == nullptr)
        return paramErr;
    AEInitializeDesc(resultList);
    if (factoredSize != 0)
        return paramErr;
    return Guarded([&] {
        Adopt(std::make_unique<Storage>(), isRecord ? typeAERecord : typeAEList, resultList);
        return OSErr(noErr);
    });
}

OSErr AECountItems(const AEDescList* theAEDescList, long* theCount) {
    if (theAEDescList == nullptr || theCount == nullptr)
        return paramErr;
    Storage* list = ContainerOf(theAEDescList);
    if (list == nullptr)
        return errAEWrongDataType;
    *theCount = static_cast<long>(list->items.size());
    return noErr;
}

OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr,
               Size dataSize) {
    AEDesc item;
    OSErr err = AECreateDesc(typeCode, dataPtr, dataSize, &item);
    if (err != noErr)
        return err;
    err = AEPutDesc(theAEDescList, index, &item);
    AEDisposeDesc(&item);
    return err;
}

OSErr AEPutDesc(AEDescList* theAEDescList, long index, const AEDesc* theAEDesc) {
    if (theAEDescList == nullptr || theAEDesc == nullptr)
        return paramErr;
    if (theAEDescList->descriptorType != typeAEList || StorageOf(theAEDescList) == nullptr)
        return errAEWrongDataType;
    return Guarded([&] { return PutItem(*StorageOf(theAEDescList), index, 0, *theAEDesc); });
}

OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType,
                  AEKeyword* theAEKeyword, DescType* typeCode, void* dataPtr, Size maximumSize,
                  Size* actualSize) {
    if (theAEDescList == nullptr)
        return paramErr;
    Storage* list = ContainerOf(theAEDescList);
    if (list == nullptr)
        return errAEWrongDataType;
    if (index < 1 || index > static_cast<long>(list->items.size()))
        return errAEIllegalIndex;
    const auto& [keyword, item] = list->items[static_cast<size_t>(index - 1)];
    OSErr err = CopyOut(item, desiredType, typeCode, dataPtr, maximumSize, actualSize);
    if (err == noErr && theAEKeyword != nullptr)
        *theAEKeyword = keyword;
    return err;
}

OSErr AEGetNthDesc(const AEDescList* theAEDescList, long index, DescType desiredType,
                   AEKeyword* theAEKeyword, AEDesc* result) {
    if (theAEDescList == nullptr || result == nullptr)
        return paramErr;
    AEInitializeDesc(result);
    Storage* list = ContainerOf(theAEDescList);
    if (list == nullptr)
        return errAEWrongDataType;
    if (index < 1 || index > static_cast<long>(list->items.size()))
        return errAEIllegalIndex;
    // Not a structured binding: C++17 lambdas cannot capture one.
    const auto& entry = list->items[static_cast<size_t>(index - 1)];
    OSErr err = Guarded([&] { return Coerce(entry.second, desiredType, result); });
    if (err == noErr && theAEKeyword != nullptr)
        *theAEKeyword = entry.first;
    return err;
}

OSErr AEGetParamDesc(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                     AEDesc* result) {
    if (theAppleEvent == nullptr || result == nullptr)
        return paramErr;
    AEInitializeDesc(result);
    if (!IsKeyed(theAppleEvent->descriptorType) || StorageOf(theAppleEvent) == nullptr)
        return errAENotAppleEvent;
    const AEDesc* param = FindParam(*StorageOf(theAppleEvent), theAEKeyword);
    if (param == nullptr)
        return errAEDescNotFound;
    return Guarded([&] { return Coerce(*param, desiredType, result); });
}

OSErr AEGetParamPtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize) {
    if (theAppleEvent == nullptr)
        return paramErr;
    if (!IsKeyed(theAppleEvent->descriptorType) || StorageOf(theAppleEvent) == nullptr)
        return errAENotAppleEvent;
    const AEDesc* param = FindParam(*StorageOf(theAppleEvent), theAEKeyword);
    if (param == nullptr)
        return errAEDescNotFound;
    return CopyOut(*param, desiredType, actualType, dataPtr, maximumSize, actualSize);
}

OSErr AEPutParamDesc(AppleEvent* theAppleEvent, AEKeyword theAEKeyword, const AEDesc* theAEDesc) {
    if (theAppleEvent == nullptr || theAEDesc == nullptr)
        return paramErr;
    if (!IsKeyed(theAppleEvent->descriptorType) || StorageOf(theAppleEvent) == nullptr)
        return errAENotAppleEvent;
    return Guarded([&] { return PutParam(*StorageOf(theAppleEvent), theAEKeyword, *theAEDesc); });
}

OSErr AEPutParamPtr(AppleEvent* theAppleEvent, AEKeyword theAEKeyword, DescType typeCode,
                    const void* dataPtr, Size dataSize) {
    AEDesc item;
    OSErr err = AECreateDesc(typeCode, dataPtr, dataSize, &item);
    if (err != noErr)
        return err;
    err = AEPutParamDesc(theAppleEvent, theAEKeyword, &item);
    AEDisposeDesc(&item);
    return err;
}

OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr, Size maximumSize,
                        Size* actualSize) {
    if (theAppleEvent == nullptr || maximumSize < 0 || (dataPtr == nullptr && maximumSize > 0))
        return paramErr;
    Storage* event = StorageOf(theAppleEvent);
    if (theAppleEvent->descriptorType != typeAppleEvent || event == nullptr)
        return errAENotAppleEvent;
    UInt32 value;
    if (theAEKeyword == keyEventClassAttr)
        value = event->eventClass;
    else if (theAEKeyword == keyEventIDAttr)
        value = event->eventID;
    else
        return errAEDescNotFound;
    if (desiredType != typeType && desiredType != typeWildCard)
        return errAECoercionFail;
    if (maximumSize > 0) // a NULL buffer of size 0 only asks for the size
        std::memcpy(dataPtr, &value, std::min(sizeof value, static_cast<size_t>(maximumSize)));
    if (typeCode != nullptr)
        *typeCode = typeType;
    if (actualSize != nullptr)
        *actualSize = sizeof value;
    return noErr;
}

AEEventHandlerUPP NewAEEventHandlerUPP(AEEventHandlerProcPtr userRoutine) {
    return userRoutine;
}

void DisposeAEEventHandlerUPP(AEEventHandlerUPP) {}

OSErr InvokeAEEventHandlerUPP(const AppleEvent* theAppleEvent, AppleEvent* reply,
                              SRefCon handlerRefcon, AEEventHandlerUPP userUPP) {
    return userUPP(theAppleEvent, reply, handlerRefcon);
}

OSErr AEInstallEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                            AEEventHandlerUPP handler, SRefCon handlerRefcon, Boolean) {
    if (handler == nullptr)
        return paramErr;
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(gHandlersMutex);
        Handlers()[{theAEEventClass, theAEEventID}] = Handler{handler, handlerRefcon};
        return OSErr(noErr);
    });
}

OSErr AERemoveEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                           AEEventHandlerUPP handler, Boolean) {
    std::lock_guard<std::mutex> guard(gHandlersMutex);
    auto at = Handlers().find({theAEEventClass, theAEEventID});
    if (at == Handlers().end() || (handler != nullptr && at->second.routine != handler))
        return errAEHandlerNotFound;
    Handlers().erase(at);
    return noErr;
}

OSErr AEGetEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                        AEEventHandlerUPP* handler, SRefCon* handlerRefcon, Boolean) {
    std::lock_guard<std::mutex> guard(gHandlersMutex);
    auto at = Handlers().find({theAEEventClass, theAEEventID});
    if (at == Handlers().end())
        return errAEHandlerNotFound;
    if (handler != nullptr)
        *handler = at->second.routine;
    if (handlerRefcon != nullptr)
        *handlerRefcon = at->second.refcon;
    return noErr;
}

OSErr __AECreateEvent(AEEventClass eventClass, AEEventID eventID, AppleEvent* result) {
    AEInitializeDesc(result);
    return Guarded([&] {
        auto event = std::make_unique<Storage>();
        event->eventClass = eventClass;
        event->eventID = eventID;
        Adopt(std::move(event), typeAppleEvent, result);
        return OSErr(noErr);
    });
}

OSErr __AEDispatch(const AppleEvent* event) {
    Storage* storage = StorageOf(event);
    if (event->descriptorType != typeAppleEvent || storage == nullptr)
        return errAENotAppleEvent;
    Handler handler;
    if (!LookUpHandler(storage->eventClass, storage->eventID, handler))
        return errAEEventNotHandled;
    AppleEvent reply;
    OSErr err = __AECreateEvent(kCoreEventClass, kAEAnswer, &reply);
    if (err != noErr)
        return err;
    err = InvokeAEEventHandlerUPP(event, &reply, handler.refcon, handler.routine);
    AEDisposeDesc(&reply);
    return err;
}
