// Our declarations of the OpenFX C interface (API 1.x, x86_64 LP64 layout).
// Every struct here is laid out member for member as hosts expect; the layout
// is pinned by static_asserts in tests/ofx/abi_layout_test.cpp.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define OfxExport __declspec(dllexport)
#else
#define OfxExport __attribute__((visibility("default")))
#endif

typedef int OfxStatus;
typedef double OfxTime;

typedef struct OfxPropertySetStruct* OfxPropertySetHandle;
typedef struct OfxParamStruct* OfxParamHandle;
typedef struct OfxParamSetStruct* OfxParamSetHandle;
typedef struct OfxImageEffectStruct* OfxImageEffectHandle;
typedef struct OfxImageClipStruct* OfxImageClipHandle;
typedef struct OfxImageMemoryStruct* OfxImageMemoryHandle;
typedef struct OfxInteract* OfxInteractHandle;
typedef struct OfxMutex* OfxMutexHandle;
typedef struct OfxDrawContext* OfxDrawContextHandle;

typedef OfxStatus(OfxPluginEntryPoint)(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                                       OfxPropertySetHandle outArgs);
typedef void(OfxThreadFunctionV1)(unsigned int threadIndex, unsigned int threadMax, void* customArg);

typedef struct OfxRangeI {
  int min, max;
} OfxRangeI;
typedef struct OfxRangeD {
  double min, max;
} OfxRangeD;
typedef struct OfxPointI {
  int x, y;
} OfxPointI;
typedef struct OfxPointD {
  double x, y;
} OfxPointD;
typedef struct OfxRectI {
  int x1, y1, x2, y2;
} OfxRectI;
typedef struct OfxRectD {
  double x1, y1, x2, y2;
} OfxRectD;

typedef struct OfxHost {
  OfxPropertySetHandle host;
  const void* (*fetchSuite)(OfxPropertySetHandle host, const char* suiteName, int suiteVersion);
} OfxHost;

typedef struct OfxPlugin {
  const char* pluginApi;
  int apiVersion;
  const char* pluginIdentifier;
  unsigned int pluginVersionMajor;
  unsigned int pluginVersionMinor;
  void (*setHost)(OfxHost* host);
  OfxPluginEntryPoint* mainEntry;
} OfxPlugin;

typedef struct OfxPropertySuiteV1 {
  OfxStatus (*propSetPointer)(OfxPropertySetHandle, const char*, int, void*);
  OfxStatus (*propSetString)(OfxPropertySetHandle, const char*, int, const char*);
  OfxStatus (*propSetDouble)(OfxPropertySetHandle, const char*, int, double);
  OfxStatus (*propSetInt)(OfxPropertySetHandle, const char*, int, int);
  OfxStatus (*propSetPointerN)(OfxPropertySetHandle, const char*, int, void* const*);
  OfxStatus (*propSetStringN)(OfxPropertySetHandle, const char*, int, const char* const*);
  OfxStatus (*propSetDoubleN)(OfxPropertySetHandle, const char*, int, const double*);
  OfxStatus (*propSetIntN)(OfxPropertySetHandle, const char*, int, const int*);
  OfxStatus (*propGetPointer)(OfxPropertySetHandle, const char*, int, void**);
  OfxStatus (*propGetString)(OfxPropertySetHandle, const char*, int, char**);
  OfxStatus (*propGetDouble)(OfxPropertySetHandle, const char*, int, double*);
  OfxStatus (*propGetInt)(OfxPropertySetHandle, const char*, int, int*);
  OfxStatus (*propGetPointerN)(OfxPropertySetHandle, const char*, int, void**);
  OfxStatus (*propGetStringN)(OfxPropertySetHandle, const char*, int, char**);
  OfxStatus (*propGetDoubleN)(OfxPropertySetHandle, const char*, int, double*);
  OfxStatus (*propGetIntN)(OfxPropertySetHandle, const char*, int, int*);
  OfxStatus (*propReset)(OfxPropertySetHandle, const char*);
  OfxStatus (*propGetDimension)(OfxPropertySetHandle, const char*, int* count);
} OfxPropertySuiteV1;

typedef struct OfxParameterSuiteV1 {
  OfxStatus (*paramDefine)(OfxParamSetHandle, const char* paramType, const char* name,
                           OfxPropertySetHandle* propertySet);
  OfxStatus (*paramGetHandle)(OfxParamSetHandle, const char* name, OfxParamHandle* param,
                              OfxPropertySetHandle* propertySet);
  OfxStatus (*paramSetGetPropertySet)(OfxParamSetHandle, OfxPropertySetHandle* propHandle);
  OfxStatus (*paramGetPropertySet)(OfxParamHandle, OfxPropertySetHandle* propHandle);
  OfxStatus (*paramGetValue)(OfxParamHandle, ...);
  OfxStatus (*paramGetValueAtTime)(OfxParamHandle, OfxTime time, ...);
  OfxStatus (*paramGetDerivative)(OfxParamHandle, OfxTime time, ...);
  OfxStatus (*paramGetIntegral)(OfxParamHandle, OfxTime time1, OfxTime time2, ...);
  OfxStatus (*paramSetValue)(OfxParamHandle, ...);
  OfxStatus (*paramSetValueAtTime)(OfxParamHandle, OfxTime time, ...);
  OfxStatus (*paramGetNumKeys)(OfxParamHandle, unsigned int* numberOfKeys);
  OfxStatus (*paramGetKeyTime)(OfxParamHandle, unsigned int nthKey, OfxTime* time);
  OfxStatus (*paramGetKeyIndex)(OfxParamHandle, OfxTime time, int direction, int* index);
  OfxStatus (*paramDeleteKey)(OfxParamHandle, OfxTime time);
  OfxStatus (*paramDeleteAllKeys)(OfxParamHandle);
  OfxStatus (*paramCopy)(OfxParamHandle to, OfxParamHandle from, OfxTime dstOffset,
                         const OfxRangeD* frameRange);
  OfxStatus (*paramEditBegin)(OfxParamSetHandle, const char* name);
  OfxStatus (*paramEditEnd)(OfxParamSetHandle);
} OfxParameterSuiteV1;

typedef struct OfxImageEffectSuiteV1 {
  OfxStatus (*getPropertySet)(OfxImageEffectHandle, OfxPropertySetHandle* propHandle);
  OfxStatus (*getParamSet)(OfxImageEffectHandle, OfxParamSetHandle* paramSet);
  OfxStatus (*clipDefine)(OfxImageEffectHandle, const char* name, OfxPropertySetHandle* propertySet);
  OfxStatus (*clipGetHandle)(OfxImageEffectHandle, const char* name, OfxImageClipHandle* clip,
                             OfxPropertySetHandle* propertySet);
  OfxStatus (*clipGetPropertySet)(OfxImageClipHandle, OfxPropertySetHandle* propHandle);
  OfxStatus (*clipGetImage)(OfxImageClipHandle, OfxTime time, const OfxRectD* region,
                            OfxPropertySetHandle* imageHandle);
  OfxStatus (*clipReleaseImage)(OfxPropertySetHandle imageHandle);
  OfxStatus (*clipGetRegionOfDefinition)(OfxImageClipHandle, OfxTime time, OfxRectD* bounds);
  int (*abort)(OfxImageEffectHandle);
  OfxStatus (*imageMemoryAlloc)(OfxImageEffectHandle instanceHandle, size_t nBytes,
                                OfxImageMemoryHandle* memoryHandle);
  OfxStatus (*imageMemoryFree)(OfxImageMemoryHandle);
  OfxStatus (*imageMemoryLock)(OfxImageMemoryHandle, void** returnedPtr);
  OfxStatus (*imageMemoryUnlock)(OfxImageMemoryHandle);
} OfxImageEffectSuiteV1;

typedef struct OfxInteractSuiteV1 {
  OfxStatus (*interactSwapBuffers)(OfxInteractHandle);
  OfxStatus (*interactRedraw)(OfxInteractHandle);
  OfxStatus (*interactGetPropertySet)(OfxInteractHandle, OfxPropertySetHandle* property);
} OfxInteractSuiteV1;

typedef struct OfxMessageSuiteV1 {
  OfxStatus (*message)(void* handle, const char* messageType, const char* messageId, const char* format, ...);
} OfxMessageSuiteV1;

typedef struct OfxMessageSuiteV2 {
  OfxStatus (*message)(void* handle, const char* messageType, const char* messageId, const char* format, ...);
  OfxStatus (*setPersistentMessage)(void* handle, const char* messageType, const char* messageId,
                                    const char* format, ...);
  OfxStatus (*clearPersistentMessage)(void* handle);
} OfxMessageSuiteV2;

typedef struct OfxMemorySuiteV1 {
  OfxStatus (*memoryAlloc)(void* handle, size_t nBytes, void** allocatedData);
  OfxStatus (*memoryFree)(void* allocatedData);
} OfxMemorySuiteV1;

typedef struct OfxMultiThreadSuiteV1 {
  OfxStatus (*multiThread)(OfxThreadFunctionV1 func, unsigned int nThreads, void* customArg);
  OfxStatus (*multiThreadNumCPUs)(unsigned int* nCPUs);
  OfxStatus (*multiThreadIndex)(unsigned int* threadIndex);
  int (*multiThreadIsSpawnedThread)(void);
  OfxStatus (*mutexCreate)(OfxMutexHandle* mutex, int lockCount);
  OfxStatus (*mutexDestroy)(const OfxMutexHandle mutex);
  OfxStatus (*mutexLock)(const OfxMutexHandle mutex);
  OfxStatus (*mutexUnLock)(const OfxMutexHandle mutex);
  OfxStatus (*mutexTryLock)(const OfxMutexHandle mutex);
} OfxMultiThreadSuiteV1;

typedef struct OfxProgressSuiteV1 {
  OfxStatus (*progressStart)(void* effectInstance, const char* label);
  OfxStatus (*progressUpdate)(void* effectInstance, double progress);
  OfxStatus (*progressEnd)(void* effectInstance);
} OfxProgressSuiteV1;

#ifdef __cplusplus
}
#endif

// Status codes.
#define kOfxStatOK 0
#define kOfxStatFailed ((int)1)
#define kOfxStatErrFatal ((int)2)
#define kOfxStatErrUnknown ((int)3)
#define kOfxStatErrMissingHostFeature ((int)4)
#define kOfxStatErrUnsupported ((int)5)
#define kOfxStatErrExists ((int)6)
#define kOfxStatErrFormat ((int)7)
#define kOfxStatErrMemory ((int)8)
#define kOfxStatErrBadHandle ((int)9)
#define kOfxStatErrBadIndex ((int)10)
#define kOfxStatErrValue ((int)11)
#define kOfxStatReplyYes ((int)12)
#define kOfxStatReplyNo ((int)13)
#define kOfxStatReplyDefault ((int)14)
#define kOfxStatUnlicensed ((int)15)
#define kOfxStatErrImageFormat ((int)1000)

#define kOfxFlagInfiniteMin ((int)(-2147483647 - 1))
#define kOfxFlagInfiniteMax ((int)2147483647)

#include "ofx/ofx_names.h"
