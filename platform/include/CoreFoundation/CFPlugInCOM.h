/*
 * CFPlugInCOM.h — the COM-style interface conventions of the platform's plug-in model: the scalar
 * types of an interface table (HRESULT, ULONG, REFIID, LPVOID), the result codes, the IUnknown
 * part that opens every interface table, and the IUnknown interface UUID.
 *
 * Types, constants and one macro: nothing here allocates, locks or has state. IUnknownUUID expands
 * to a CFUUIDGetConstantUUIDWithBytes call, which takes the UUID table's lock on its first use and
 * so is not for the real-time IO thread. Types and values are those of the macOS SDK (LP64):
 * ULONG is UInt32 (not unsigned long), and an interface is requested by its CFUUIDBytes, by value.
 */
#ifndef PELIO_PLATFORM_CFPLUGINCOM_H
#define PELIO_PLATFORM_CFPLUGINCOM_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFUUID.h>
#include <stddef.h>

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

#define SUCCEEDED(Status) ((HRESULT)(Status) >= 0)
#define FAILED(Status) ((HRESULT)(Status) < 0)

/* The results of an interface call. The failures have the top bit set, so they are negative. */
#define S_OK ((HRESULT)0x00000000L)
#define S_FALSE ((HRESULT)0x00000001L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_NOTIMPL ((HRESULT)0x80000001L)
#define E_OUTOFMEMORY ((HRESULT)0x80000002L)
#define E_INVALIDARG ((HRESULT)0x80000003L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)
#define E_POINTER ((HRESULT)0x80000005L)
#define E_HANDLE ((HRESULT)0x80000006L)
#define E_ABORT ((HRESULT)0x80000007L)
#define E_FAIL ((HRESULT)0x80000008L)
#define E_ACCESSDENIED ((HRESULT)0x80000009L)

/* The platform's calling convention is the default one. */
#define STDMETHODCALLTYPE

/* The first four slots of every interface table: a reserved pointer, then the query and the
   reference counting, each receiving the interface reference as an untyped pointer. */
#define IUNKNOWN_C_GUTS                                                                     \
    void* _reserved;                                                                        \
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
    ULONG(STDMETHODCALLTYPE* AddRef)(void* thisPointer);                                    \
    ULONG(STDMETHODCALLTYPE* Release)(void* thisPointer)

typedef struct IUnknownVTbl {
    IUNKNOWN_C_GUTS;
} IUnknownVTbl;

/* 00000000-0000-0000-C000-000000000046: the interface that every plug-in interface extends. */
#define IUnknownUUID                                                                                     \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, \
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

#endif /* PELIO_PLATFORM_CFPLUGINCOM_H */
