// Apple event handlers: an application installs a handler per event class and ID, and
// receives the events other processes send it while its application event loop runs.
//
// Here the only sender is Launch Services, opening documents with an application that
// already runs (kCoreEventClass / kAEOpenDocuments, the documents in keyDirectObject as a
// typeAEList of typeFSRef). While RunApplicationEventLoop runs, the application answers
// every such event on the main run loop: with the status of the installed handler, or with
// errAEEventNotHandled when no handler (nor a typeWildCard one) is installed. Events are
// refused from processes of other users.
//
// Threading: install and remove handlers on the main thread; handlers are called there,
// one at a time, from the application event loop. Ownership: the event and the reply passed
// to a handler belong to the caller and are disposed of after the handler returns; the
// handler disposes of whatever it gets from them (AEGetParamDesc, AEGetNthDesc).
#pragma once

#include <Carbon/AEDataModel.h>

#if defined(__LP64__) && __LP64__
typedef void* SRefCon;
#else
typedef SInt32 SRefCon;
#endif

// Event classes and IDs of the required suite.
enum {
    kCoreEventClass = 0x61657674,     // 'aevt'
    kAEOpenApplication = 0x6F617070,  // 'oapp'
    kAEOpenDocuments = 0x6F646F63,    // 'odoc'
    kAEPrintDocuments = 0x70646F63,   // 'pdoc'
    kAEQuitApplication = 0x71756974,  // 'quit'
    kAEReopenApplication = 0x72617070 // 'rapp'
};

typedef OSErr (*AEEventHandlerProcPtr)(const AppleEvent* theAppleEvent, AppleEvent* reply,
                                       SRefCon handlerRefcon);
typedef AEEventHandlerProcPtr AEEventHandlerUPP;

#ifdef __cplusplus
extern "C" {
#endif

AEEventHandlerUPP NewAEEventHandlerUPP(AEEventHandlerProcPtr userRoutine);
void DisposeAEEventHandlerUPP(AEEventHandlerUPP userUPP);
OSErr InvokeAEEventHandlerUPP(const AppleEvent* theAppleEvent, AppleEvent* reply,
                              SRefCon handlerRefcon, AEEventHandlerUPP userUPP);

// Installs (or replaces) the handler for one class and ID; typeWildCard in either matches
// any value when no exact handler exists. isSysHandler is accepted and ignored: there is
// one table per process. paramErr for a NULL handler.
OSErr AEInstallEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                            AEEventHandlerUPP handler, SRefCon handlerRefcon, Boolean isSysHandler);
// errAEHandlerNotFound when no such handler is installed (handler NULL matches any).
OSErr AERemoveEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                           AEEventHandlerUPP handler, Boolean isSysHandler);
OSErr AEGetEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                        AEEventHandlerUPP* handler, SRefCon* handlerRefcon, Boolean isSysHandler);

#ifdef __cplusplus
}
#endif
