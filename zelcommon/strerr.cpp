// SPDX-License-Identifier: Apache-2.0
// Error-number texts: symbol and description of every error number the system reports, found
// through an open-addressing hash over a constant table.
#include "strerr.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "zellog.h"

#define STRERR_SRCPATH "../zelcommon/strerr"

struct errent {
    int num;
    const char *str;
};

namespace {

// Symbols this platform lacks are left out. Where two symbols share a number, both stay and
// the first in table order answers.
const errent errtab[] = {
#ifdef E2BIG
    {E2BIG, "E2BIG (Argument list too long)"},
#endif
#ifdef EACCES
    {EACCES, "EACCES (Permission denied)"},
#endif
#ifdef EADDRINUSE
    {EADDRINUSE, "EADDRINUSE (Address already in use)"},
#endif
#ifdef EADDRNOTAVAIL
    {EADDRNOTAVAIL, "EADDRNOTAVAIL (Cannot assign requested address)"},
#endif
#ifdef EAFNOSUPPORT
    {EAFNOSUPPORT, "EAFNOSUPPORT (Address family not supported by protocol family)"},
#endif
#ifdef EAGAIN
    {EAGAIN, "EAGAIN (Resource temporarily unavailable)"},
#endif
#ifdef EALREADY
    {EALREADY, "EALREADY (Operation already in progress)"},
#endif
#ifdef EAUTH
    {EAUTH, "EAUTH (Authentication error)"},
#endif
#ifdef EBADF
    {EBADF, "EBADF (Bad file descriptor)"},
#endif
#ifdef EBADMSG
    {EBADMSG, "EBADMSG (Bad message)"},
#endif
#ifdef EBADRPC
    {EBADRPC, "EBADRPC (RPC struct is bad)"},
#endif
#ifdef EBUSY
    {EBUSY, "EBUSY (Device or resource busy)"},
#endif
#ifdef ECANCELED
    {ECANCELED, "ECANCELED (Operation canceled)"},
#endif
#ifdef ECHILD
    {ECHILD, "ECHILD (No child processes)"},
#endif
#ifdef ECONNABORTED
    {ECONNABORTED, "ECONNABORTED (Software caused connection abort)"},
#endif
#ifdef ECONNREFUSED
    {ECONNREFUSED, "ECONNREFUSED (Connection refused)"},
#endif
#ifdef ECONNRESET
    {ECONNRESET, "ECONNRESET (Connection reset by peer)"},
#endif
#ifdef EDEADLK
    {EDEADLK, "EDEADLK (Resource deadlock would occur)"},
#endif
#ifdef EDESTADDRREQ
    {EDESTADDRREQ, "EDESTADDRREQ (Destination address required)"},
#endif
#ifdef EDOM
    {EDOM, "EDOM (Numerical argument out of domain)"},
#endif
#ifdef EDOOFUS
    {EDOOFUS, "EDOOFUS (Programming error)"},
#endif
#ifdef EDQUOT
    {EDQUOT, "EDQUOT (Quota exceeded)"},
#endif
#ifdef EEXIST
    {EEXIST, "EEXIST (File exists)"},
#endif
#ifdef EFAULT
    {EFAULT, "EFAULT (Bad address)"},
#endif
#ifdef EFBIG
    {EFBIG, "EFBIG (File too large)"},
#endif
#ifdef EFTYPE
    {EFTYPE, "EFTYPE (Inappropriate file type or format)"},
#endif
#ifdef EHOSTDOWN
    {EHOSTDOWN, "EHOSTDOWN (Host is down)"},
#endif
#ifdef EHOSTUNREACH
    {EHOSTUNREACH, "EHOSTUNREACH (No route to host)"},
#endif
#ifdef EIDRM
    {EIDRM, "EIDRM (Identifier removed)"},
#endif
#ifdef EILSEQ
    {EILSEQ, "EILSEQ (Illegal byte sequence)"},
#endif
#ifdef EINPROGRESS
    {EINPROGRESS, "EINPROGRESS (Operation now in progress)"},
#endif
#ifdef EINTR
    {EINTR, "EINTR (Interrupted system call)"},
#endif
#ifdef EINVAL
    {EINVAL, "EINVAL (Invalid argument)"},
#endif
#ifdef EIO
    {EIO, "EIO (Input/output error)"},
#endif
#ifdef EISCONN
    {EISCONN, "EISCONN (Transport endpoint is already connected)"},
#endif
#ifdef EISDIR
    {EISDIR, "EISDIR (Is a directory)"},
#endif
#ifdef ELOOP
    {ELOOP, "ELOOP (Too many levels of symbolic links)"},
#endif
#ifdef EMFILE
    {EMFILE, "EMFILE (Too many open files)"},
#endif
#ifdef EMLINK
    {EMLINK, "EMLINK (Too many links)"},
#endif
#ifdef EMSGSIZE
    {EMSGSIZE, "EMSGSIZE (Message too long)"},
#endif
#ifdef EMULTIHOP
    {EMULTIHOP, "EMULTIHOP (Multihop attempted)"},
#endif
#ifdef ENAMETOOLONG
    {ENAMETOOLONG, "ENAMETOOLONG (File name too long)"},
#endif
#ifdef ENEEDAUTH
    {ENEEDAUTH, "ENEEDAUTH (Need authenticator)"},
#endif
#ifdef ENETDOWN
    {ENETDOWN, "ENETDOWN (Network is down)"},
#endif
#ifdef ENETRESET
    {ENETRESET, "ENETRESET (Network dropped connection because of reset)"},
#endif
#ifdef ENETUNREACH
    {ENETUNREACH, "ENETUNREACH (Network is unreachable)"},
#endif
#ifdef ENFILE
    {ENFILE, "ENFILE (Too many open files in system)"},
#endif
#ifdef ENOATTR
    {ENOATTR, "ENOATTR (Attribute not found)"},
#endif
#ifdef ENOBUFS
    {ENOBUFS, "ENOBUFS (No buffer space available)"},
#endif
#ifdef ENODEV
    {ENODEV, "ENODEV (Operation not supported by device or no such device)"},
#endif
#ifdef ENOENT
    {ENOENT, "ENOENT (No such file or directory)"},
#endif
#ifdef ENOEXEC
    {ENOEXEC, "ENOEXEC (Exec format error)"},
#endif
#ifdef ENOLCK
    {ENOLCK, "ENOLCK (No locks available)"},
#endif
#ifdef ENOLINK
    {ENOLINK, "ENOLINK (Link has been severed)"},
#endif
#ifdef ENOMEM
    {ENOMEM, "ENOMEM (Cannot allocate memory)"},
#endif
#ifdef ENOMSG
    {ENOMSG, "ENOMSG (No message of desired type)"},
#endif
#ifdef ENOPROTOOPT
    {ENOPROTOOPT, "ENOPROTOOPT (Protocol not available)"},
#endif
#ifdef ENOSPC
    {ENOSPC, "ENOSPC (No space left on device)"},
#endif
#ifdef ENOSYS
    {ENOSYS, "ENOSYS (Unsupported file system operation)"},
#endif
#ifdef ENOTBLK
    {ENOTBLK, "ENOTBLK (Block device required)"},
#endif
#ifdef ENOTCONN
    {ENOTCONN, "ENOTCONN (Transport endpoint is not connected)"},
#endif
#ifdef ENOTDIR
    {ENOTDIR, "ENOTDIR (Not a directory)"},
#endif
#ifdef ENOTEMPTY
    {ENOTEMPTY, "ENOTEMPTY (Directory not empty)"},
#endif
#ifdef ENOTRECOVERABLE
    {ENOTRECOVERABLE, "ENOTRECOVERABLE (State not recoverable)"},
#endif
#ifdef ENOTSOCK
    {ENOTSOCK, "ENOTSOCK (Socket operation on non-socket)"},
#endif
#ifdef ENOTSUP
    {ENOTSUP, "ENOTSUP (Operation not supported)"},
#endif
#ifdef ENOTTY
    {ENOTTY, "ENOTTY (Inappropriate ioctl for device)"},
#endif
#ifdef ENXIO
    {ENXIO, "ENXIO (No such device or address)"},
#endif
#ifdef EOPNOTSUPP
    {EOPNOTSUPP, "EOPNOTSUPP (Operation not supported on transport endpoint)"},
#endif
#ifdef EOVERFLOW
    {EOVERFLOW, "EOVERFLOW (Value too large to be stored in data type)"},
#endif
#ifdef EOWNERDEAD
    {EOWNERDEAD, "EOWNERDEAD (Process died with the lock)"},
#endif
#ifdef EPERM
    {EPERM, "EPERM (Operation not permitted)"},
#endif
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, "EPFNOSUPPORT (Protocol family not supported)"},
#endif
#ifdef EPIPE
    {EPIPE, "EPIPE (Broken pipe)"},
#endif
#ifdef EPROCLIM
    {EPROCLIM, "EPROCLIM (Too many processes)"},
#endif
#ifdef EPROCUNAVAIL
    {EPROCUNAVAIL, "EPROCUNAVAIL (Bad procedure for program)"},
#endif
#ifdef EPROGMISMATCH
    {EPROGMISMATCH, "EPROGMISMATCH (Program version wrong)"},
#endif
#ifdef EPROGUNAVAIL
    {EPROGUNAVAIL, "EPROGUNAVAIL (RPC prog. not avail)"},
#endif
#ifdef EPROTONOSUPPORT
    {EPROTONOSUPPORT, "EPROTONOSUPPORT (Protocol not supported)"},
#endif
#ifdef EPROTOTYPE
    {EPROTOTYPE, "EPROTOTYPE (Protocol wrong type for socket)"},
#endif
#ifdef EPROTO
    {EPROTO, "EPROTO (Protocol error)"},
#endif
#ifdef ERANGE
    {ERANGE, "ERANGE (Result too large)"},
#endif
#ifdef EREMOTE
    {EREMOTE, "EREMOTE (Object is remote)"},
#endif
#ifdef EROFS
    {EROFS, "EROFS (Read-only file system)"},
#endif
#ifdef ERPCMISMATCH
    {ERPCMISMATCH, "ERPCMISMATCH (RPC version wrong)"},
#endif
#ifdef ESHUTDOWN
    {ESHUTDOWN, "ESHUTDOWN (Cannot send after transport endpoint shutdown)"},
#endif
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT (Socket type not supported)"},
#endif
#ifdef ESPIPE
    {ESPIPE, "ESPIPE (Illegal seek)"},
#endif
#ifdef ESRCH
    {ESRCH, "ESRCH (No such process)"},
#endif
#ifdef ESTALE
    {ESTALE, "ESTALE (Stale NFS file handle)"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, "ETIMEDOUT (Operation timed out)"},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, "ETOOMANYREFS (Too many references: cannot splice)"},
#endif
#ifdef ETXTBSY
    {ETXTBSY, "ETXTBSY (Text file busy)"},
#endif
#ifdef EUSERS
    {EUSERS, "EUSERS (Too many users)"},
#endif
#ifdef EXDEV
    {EXDEV, "EXDEV (Cross-device link)"},
#endif
    {0, nullptr},
};

constexpr uint32_t kHashSize = 256;  // a power of two, well above the table's 95 entries
constexpr uint32_t kHashMul = 0x719986B1U;
constexpr uint32_t kStepMul = 0x2D4E15D7U;
constexpr size_t kStorageSize = 100;

struct StrerrState {
    errent *errhash = nullptr;  // slot table; a slot is empty while its text is null
    uint32_t errhsize = 0;
    char *strerrstorage = nullptr;  // text of the last unknown number
};

StrerrState st;

char *strerr_storage_get() {
    if (st.strerrstorage == nullptr) {
        st.strerrstorage = static_cast<char *>(malloc(kStorageSize));
        zel_passert(st.strerrstorage, STRERR_SRCPATH, "strerrstorage");
    }
    return st.strerrstorage;
}

void strerr_storage_free() {
    free(st.strerrstorage);
    st.strerrstorage = nullptr;
}

// The probe step is odd and the slot count a power of two, so a probe sequence visits every
// slot before it repeats.
inline uint32_t first_slot(uint32_t n, uint32_t mask) {
    return (n * kHashMul) & mask;
}
inline uint32_t probe_step(uint32_t n, uint32_t mask) {
    return ((n * kStepMul) & mask) | 1;
}

}  // namespace

extern "C" void strerr_init(void) {
    if (st.errhash != nullptr) return;
    st.errhsize = kHashSize;
    st.errhash = static_cast<errent *>(calloc(st.errhsize, sizeof(errent)));
    zel_passert(st.errhash, STRERR_SRCPATH, "errhash");
    const uint32_t mask = st.errhsize - 1;
    for (const errent *e = errtab; e->str != nullptr; e++) {
        uint32_t n = static_cast<uint32_t>(e->num);
        uint32_t h = first_slot(n, mask);
        bool taken = false;
        while (st.errhash[h].str != nullptr) {
            if (st.errhash[h].num == e->num) {
                taken = true;  // an earlier symbol with the same number answers
                break;
            }
            h = (h + probe_step(n, mask)) & mask;
        }
        if (!taken) st.errhash[h] = *e;
    }
}

extern "C" const char *strerr(int error) {
    if (error == 0) return "Success (errno=0)";
    // Callers are expected to run strerr_init first; a lookup without it builds the table
    // here rather than reading a table that does not exist.
    if (st.errhash == nullptr) strerr_init();
    const uint32_t n = static_cast<uint32_t>(error);
    const uint32_t mask = st.errhsize - 1;
    const uint32_t step = probe_step(n, mask);
    for (uint32_t h = first_slot(n, mask); st.errhash[h].str != nullptr; h = (h + step) & mask) {
        if (st.errhash[h].num == error) return st.errhash[h].str;
    }
    char *buf = strerr_storage_get();
    snprintf(buf, kStorageSize, "Unknown error: %d", error);
    return buf;
}

extern "C" void strerr_term(void) {
    free(st.errhash);
    st.errhash = nullptr;
    st.errhsize = 0;
    strerr_storage_free();
}
