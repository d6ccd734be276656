// The byte stream an HTTP request travels on: plain TCP, or TLS on top of the same TCP
// connection. The HTTP code talks to a Transport only and does not know which one it has.
//
// Layering (top to bottom):
//
//   HTTP code (request write, header and body reads)
//     Transport           MakePlainTransport / MakeTlsTransport
//       RawStream         the connection's own bounded socket operations
//
// The seam is RawStream: every call on it already ends within the connection's time limit and
// as soon as its stop flags are raised (the connection runs each socket operation in short
// slices, closing the socket on a stop request or at the deadline). The TLS layers never touch
// a socket, a clock or a thread of their own; they only call RawStream. So the handshake and
// every record read and write are bounded by exactly the limits and stop flags of plain HTTP,
// and a stop request ends a handshake as fast as it ends a plain read.
//
// Error conventions (the same for both transports and for RawStream):
//   - ReadSome returns at least one byte, or 0 with ec set: eof at the end of the stream,
//     timed_out when the peer stayed silent, operation_aborted on stop, or another error.
//   - WriteAll writes every byte or sets ec.
//   - timed_out and operation_aborted from RawStream are passed up unchanged.
//   - TLS failures carry TlsCategory() codes whose message() is short and stable
//     ("untrusted", "expired", "wrong name", ...) for the engine's diagnostics.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/system/error_code.hpp>

#include "app/core/setting.h"

// Bounded byte stream below the transports (implemented by the connection).
class RawStream {
public:
    virtual ~RawStream() = default;
    // Writes all of data; ec set on failure (timed_out, operation_aborted, socket errors).
    virtual void WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) = 0;
    // Reads what has arrived, at least one byte; 0 with ec set at the end or on failure.
    virtual std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Sets up the session before the first write: nothing for plain TCP; for TLS the
    // handshake, with hostName (no port) sent for name indication unless it is an address, and
    // checked against the server's certificate (an empty hostName fails at once). ec set on
    // failure; the transport is unusable afterwards.
    virtual void Handshake(const std::string& hostName, boost::system::error_code& ec) = 0;
    virtual void WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) = 0;
    virtual std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) = 0;
};

// Reasons of a failed TLS session. Certificate reasons first: they are what a user can act on.
enum class TlsError {
    kUntrusted = 1,     // chain does not end at a trusted root
    kExpired,           // a certificate is outside its validity period (also: not yet valid)
    kWrongName,         // the certificate is not for the host that was asked for
    kBadCertificate,    // any other certificate fault (revoked, unusable for a server, ...)
    kHandshakeFailed,   // no session could be agreed: not TLS, old protocol, alert, peer closed
    kProtocol,          // a malformed or undecryptable record after the handshake
};
const boost::system::error_category& TlsCategory();
boost::system::error_code MakeTlsError(TlsError e);

// The configuration the TLS sessions of one download task share: natively one OpenSSL context
// (trusted roots loaded once, buffers of idle sessions released) for every connection of every
// attempt. None on Windows, where the system keeps its own.
class TlsContext;

class TlsContextCache {
public:
    // The shared context for the given CA file (made at the first call, again when the file
    // changes); nullptr where there is none, in which case each session makes its own.
    std::shared_ptr<TlsContext> Get(const std::string& caFile);

private:
    std::mutex m_mutex;
    std::shared_ptr<TlsContext> m_context;
    std::string m_caFile;
};

struct TlsSettings {
    // Longest time for the whole handshake, checked between raw reads and writes (each of
    // which is bounded by the connection), so a server that trickles its handshake one byte
    // per read cannot hold the attempt. 0: only the per-operation limits.
    std::uint32_t handshakeTimeoutMs = 30000;
    // Native builds only: a PEM file of trusted roots used instead of the system's (tests).
    // The Windows layer always trusts the system's root store.
    std::string caFile;
    // Shared with the task's other sessions (made for caFile); nullptr: the session's own.
    std::shared_ptr<TlsContext> context;
};

namespace settings {
// The CA file of every TLS session the download engine opens natively (the fetch tool, the
// tests, the benchmarks); empty (the default) for the system's roots. Windows ignores it: the
// program always trusts the system's root store.
inline Setting<std::string> tlsCaFile;
}  // namespace settings

#ifndef _WIN32
// The certificate check of a session on its own (tests): the PEM certificate in certFile
// against the roots of caFile and hostName, with the reason a handshake would fail with.
boost::system::error_code VerifyCertificateFile(const std::string& certFile, const std::string& caFile,
                                                const std::string& hostName);
#endif

std::unique_ptr<Transport> MakePlainTransport(RawStream& raw);
// OpenSSL natively, the system's TLS (Schannel) on Windows. raw must outlive the transport.
std::unique_ptr<Transport> MakeTlsTransport(RawStream& raw, const TlsSettings& settings);

// Wraps a RawStream for the length of a handshake: once the deadline has passed, every further
// call fails with timed_out without touching the stream.
class DeadlineStream : public RawStream {
public:
    DeadlineStream(RawStream& raw, std::uint32_t limitMs);
    void WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) override;
    std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) override;

private:
    bool Expired(boost::system::error_code& ec) const;

    RawStream& m_raw;
    std::uint32_t m_limitMs;
    std::chrono::steady_clock::time_point m_deadline;
};
