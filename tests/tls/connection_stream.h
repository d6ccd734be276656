// Test bridge from a connected HttpConnection to the RawStream a transport runs on, so the
// transports can be tried on their own; Write and ReadSome are already bounded by the connection.
#pragma once

#include <string>

#include <boost/system/system_error.hpp>

#include "http/http_connection.h"
#include "http/transport.h"

class ConnectionStream : public RawStream {
public:
    explicit ConnectionStream(HttpConnection& connection) : m_connection(connection) {}

    void WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) override {
        ec.clear();
        try {
            m_connection.Write(std::string(data, size));
        } catch (const boost::system::system_error& e) {
            ec = e.code();
        }
    }
    std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) override {
        return m_connection.ReadSome(buffer, size, ec);
    }

private:
    HttpConnection& m_connection;
};
