/*
 * Calling conventions of the host interface.
 *
 * This header is the public half of the platform layer: the host talks to the driver and
 * the driver talks to the host library with the callee-cleans convention on 32-bit Windows;
 * on other systems the convention macros expand to nothing.
 */
#ifndef KIV_CALLCONV_H
#define KIV_CALLCONV_H

#if defined(_WIN32)
#define KIV_STDCALL __stdcall
#define KIV_CDECL __cdecl
/* Exports are listed in .def files, so that stdcall names are exported undecorated. */
#define KIV_EXPORT
#define KIV_IS_WINDOWS 1
#else
#define KIV_STDCALL
#define KIV_CDECL
#define KIV_EXPORT __attribute__((visibility("default")))
#define KIV_IS_WINDOWS 0
#endif

#if defined(__GNUC__)
#define KIV_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KIV_PRINTF_LIKE(fmt, first)
#endif

#endif
