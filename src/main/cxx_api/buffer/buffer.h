// Byte values lent to the core and results handed back by it.
//
// InBuffer lends a value owned by someone else: its Proxy keeps the owner
// alive and says where the bytes are, and the core reads them through a
// buf view that it must never free, append to or resize.
//
// OutBuffer owns one buf returned by the core (possibly NULL) together
// with the function that releases it. It is move-only, so exactly one
// holder releases a result. Its Proxy describes the result to the
// consumer; Bytes names the type of value the result stands for.
#ifndef OSTREL_CXX_API_BUFFER_H
#define OSTREL_CXX_API_BUFFER_H

#include <memory>
#include <utility>

#include "buf.h"

template <typename Proxy>
class InBuffer {
public:
    explicit InBuffer(typename Proxy::Source source) : proxy(std::move(source)), view(proxy.view()) {}

    // The view goes before the proxy lets the owner go.
    ~InBuffer() { view = buf{}; }

    InBuffer(const InBuffer &) = delete;
    InBuffer &operator=(const InBuffer &) = delete;

    const buf *get() const { return &view; }

private:
    Proxy proxy;
    buf view;
};

template <typename Proxy, typename Bytes>
class OutBuffer {
public:
    using Release = void (*)(buf *);

    OutBuffer(buf *result, Release release) : result(result, release) {}

    OutBuffer(OutBuffer &&) = default;
    OutBuffer &operator=(OutBuffer &&) = default;

    buf *get() const { return result.get(); }

    // Only for a holder whose result is not NULL.
    auto describe() const { return Proxy::describe(*result); }

private:
    std::unique_ptr<buf, Release> result;
};

#endif
