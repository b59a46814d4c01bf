// What an adapter needs of the interfaces bound to it: a word when a receive buffer has come in,
// and the read-buffer size each reads with. The adapter knows its interfaces through this alone.
#pragma once

#include <cstdint>

class CVFAdapterClient {
public:
    // The adapter filled a receive buffer (its count of buffers so far). Runs on the reader
    // thread under the adapter's lock: it must take no lock that is ever held while the adapter
    // lock is taken.
    virtual void PacketNotify(std::uint64_t nBuffersRead) = 0;
    // The size of the buffer the client reads a receive buffer into; the adapter's receive
    // buffers are kept at least as large as every bound client's.
    virtual std::uint32_t GetReadBufferSize() const = 0;
    // Whether the client wants the adapter's changes of buffer size reported.
    virtual bool ReportsChanges() const = 0;
    // Whether the client has stopped reading (closed or gone down): a read it has waiting in
    // the adapter returns at once. Read under the adapter's lock, so it must take no lock.
    virtual bool ReadsEnded() const = 0;

protected:
    ~CVFAdapterClient() = default;
};
