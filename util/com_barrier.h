// The exception barrier of the module's COM boundary: every method that a host or an engine
// calls runs its body through comBarrier, so no exception ever crosses the module boundary.
// Thread-safe (stateless).
#pragma once

#include <utility>

#include "platform/com.h"

namespace vt {

// Runs body (returning an HRESULT) and answers its result; any exception becomes onThrow,
// after report() (a log line, say) has run, itself shielded. body must leave no lock or other
// state half-done when it throws: it holds them in RAII objects of its own.
template <class Body, class Report>
HRESULT comBarrier(HRESULT onThrow, Body&& body, Report&& report) noexcept {
    try {
        return body();
    } catch (...) {
        try {
            report();
        } catch (...) {
        }
        return onThrow;
    }
}

template <class Body>
HRESULT comBarrier(HRESULT onThrow, Body&& body) noexcept {
    return comBarrier(onThrow, std::forward<Body>(body), [] {});
}

}  // namespace vt
