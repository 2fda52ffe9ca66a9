#include "tests/admin/StandIn.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/property_tree/json_parser.hpp>

namespace admintest {

namespace {

Certificate makeCertificate(const testsupport::TempDir& dir, const std::string& name)
{
    Certificate c{dir.file(name + "-cert.pem"), dir.file(name + "-key.pem")};
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=" + name +
                            " -keyout " + testsupport::shellQuote(c.key) + " -out " +
                            testsupport::shellQuote(c.cert) + " >/dev/null 2>&1";
    if (testsupport::runShell(cmd) != 0)
        throw std::runtime_error("openssl req failed");
    return c;
}

const testsupport::TempDir& certificateDir()
{
    static testsupport::TempDir dir("standin-certs");
    return dir;
}

}  // namespace

const Certificate& firstCertificate()
{
    static const Certificate c = makeCertificate(certificateDir(), "first");
    return c;
}

StandIn::StandIn(const std::vector<std::string>& args, const std::string& host, const Certificate& certificate)
    : dir_("standin"), host_(host)
{
    std::vector<std::string> argv = {"python3",       testsupport::sourcePath("tests/admin/tinydb_standin.py"),
                                     "--host",        host,
                                     "--port",        "0",
                                     "--port-file",   dir_.file("port"),
                                     "--state",       dir_.file("state.json"),
                                     "--cert",        certificate.cert,
                                     "--key",         certificate.key};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child_.start(argv, dir_.file("output.txt")))
        throw std::runtime_error("cannot start the stand-in");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        std::ifstream f(dir_.file("port"));
        if (f >> port_ && port_ > 0)
            break;
        if (child_.wait(0) != -1 || std::chrono::steady_clock::now() > end)
            throw std::runtime_error("the stand-in did not start: " + output());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

StandIn::~StandIn()
{
    child_.stop();
}

boost::property_tree::ptree StandIn::state() const
{
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(dir_.file("state.json"), tree);
    return tree;
}

std::string StandIn::fingerprint() const
{
    return state().get<std::string>("fingerprint");
}

std::vector<boost::property_tree::ptree> StandIn::log() const
{
    std::vector<boost::property_tree::ptree> out;
    const boost::property_tree::ptree tree = state();
    for (const auto& entry : tree.get_child("log"))
        out.push_back(entry.second);
    return out;
}

std::vector<std::string> StandIn::statements() const
{
    std::vector<std::string> out;
    for (const auto& entry : log()) {
        if (auto text = entry.get_optional<std::string>("statement"))
            out.push_back(*text);
    }
    return out;
}

std::vector<std::vector<std::pair<std::string, std::string>>> StandIn::table(const std::string& name) const
{
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;
    const boost::property_tree::ptree tree = state();
    const auto& tables = tree.get_child("tables");
    auto it = tables.find(name);
    if (it == tables.not_found())
        return rows;
    for (const auto& row : it->second) {
        std::vector<std::pair<std::string, std::string>> columns;
        for (const auto& column : row.second)
            columns.emplace_back(column.first, column.second.data());
        rows.push_back(columns);
    }
    return rows;
}

std::string StandIn::output() const
{
    std::ifstream f(dir_.file("output.txt"));
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace admintest
