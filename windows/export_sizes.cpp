// export_sizes.cpp - compile-time guard for the 32-bit decorated export
// names. A standard-call function is exported as _name@N, where N is the
// number of bytes its arguments take on the stack (each argument rounded up
// to a 4-byte slot). The suffixes are written in brevant-x86.def; the build
// turns each of its lines into EXPORT(name, N) in brevant_export_list.inc,
// and this file checks N against the parameter list in brevant.h, so a
// changed signature cannot silently export under a stale name.
#include <cstddef>

#include "brevant.h"

namespace {

constexpr std::size_t stackSlot(std::size_t size) { return (size + 3) / 4 * 4; }

template <typename Result, typename... Args>
constexpr std::size_t argumentBytes(Result(VESKCFP2_CALL *)(Args...)) {
    return (std::size_t{0} + ... + stackSlot(sizeof(Args)));
}

#define EXPORT(name, bytes)                                                         \
    static_assert(argumentBytes(&name) == (bytes),                                  \
                  #name ": its arguments take a different number of stack bytes " \
                  "than the @" #bytes " suffix in brevant-x86.def");
#include "brevant_export_list.inc"
#undef EXPORT

// Every export of the header is listed once.
#define EXPORT(name, bytes) +1
constexpr int kListed = 0
#include "brevant_export_list.inc"
    ;
#undef EXPORT
static_assert(kListed == 24, "brevant-x86.def must list the 24 exports");

}  // namespace
