// Runs tests/admin/tinydb_standin.py for one test and reads back what it recorded.
#pragma once

#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "tests/support/TestSupport.h"

namespace admintest {

struct Certificate {
    std::string cert;
    std::string key;
};

// A certificate made once per test process.
const Certificate& firstCertificate();

class StandIn {
public:
    // args are extra command-line options of the stand-in.
    explicit StandIn(const std::vector<std::string>& args = {}, const std::string& host = "127.0.0.1",
                     const Certificate& certificate = firstCertificate());
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    // The state file as the stand-in last wrote it.
    boost::property_tree::ptree state() const;
    std::string fingerprint() const;
    // Every statement received, in order.
    std::vector<std::string> statements() const;
    // The log entries (logins, statements, datagrams) in order.
    std::vector<boost::property_tree::ptree> log() const;
    // Rows of a table, each as column -> value.
    std::vector<std::vector<std::pair<std::string, std::string>>> table(const std::string& name) const;
    std::string output() const;

private:
    testsupport::TempDir dir_;
    testsupport::ChildProcess child_;
    std::string host_;
    int port_ = 0;
};

}  // namespace admintest
