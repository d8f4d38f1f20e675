/*
 * How the program meets the platform's libraries.
 *
 * On Windows the operations and the variable of the map library (ovw.dll),
 * the SNMP library (ovsnmp.dll) and the base library (ov.dll) are plain C
 * names with the C calling convention, which the program imports from those
 * DLLs; each library's export list is its .def file beside these headers.
 * The same headers serve both sides of the boundary:
 *   - the program (the default): imported, __declspec(dllimport);
 *   - a build of the platform's libraries defines KELVOROV_PLATFORM_EXPORTS:
 *     exported, __declspec(dllexport);
 *   - a program that links the platform's code into itself defines
 *     KELVOROV_PLATFORM_STATIC: neither.
 * Elsewhere the platform is linked into the program and the names are plain
 * C names all the same.
 */
#ifndef KELVOROV_PLATFORM_LINKAGE_H
#define KELVOROV_PLATFORM_LINKAGE_H

#if defined(_WIN32) && defined(KELVOROV_PLATFORM_EXPORTS)
#define PLATFORM_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(KELVOROV_PLATFORM_STATIC)
#define PLATFORM_API __declspec(dllimport)
#else
#define PLATFORM_API
#endif

#ifdef _WIN32
#define PLATFORM_CALL __cdecl
#else
#define PLATFORM_CALL
#endif

#ifdef __cplusplus
#define PLATFORM_BEGIN_DECLS extern "C" {
#define PLATFORM_END_DECLS }
#else
#define PLATFORM_BEGIN_DECLS
#define PLATFORM_END_DECLS
#endif

#endif
