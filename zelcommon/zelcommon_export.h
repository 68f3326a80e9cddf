// SPDX-License-Identifier: Apache-2.0
// Export marker of the shared library. The library is built with every symbol hidden; a
// declaration in an installed header that carries ZELCOMMON_API is part of its interface and is
// exported. For a program that includes the headers the marker changes nothing.
#ifndef ZELCOMMON_EXPORT_H
#define ZELCOMMON_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define ZELCOMMON_API __attribute__((visibility("default")))
#else
#define ZELCOMMON_API
#endif

#endif
