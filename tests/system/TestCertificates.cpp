#include "TestCertificates.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void _run(const std::string& command, const std::string& log) {
    if (std::system((command + " >>" + log + " 2>&1").c_str()) != 0) {
        std::ifstream file(log);
        std::ostringstream text;
        text << file.rdbuf();
        throw std::runtime_error("failed: " + command + "\n" + text.str());
    }
}

// A self-signed CA certificate and its key.
void _makeCa(const std::string& dir, const std::string& name, const std::string& log) {
    _run(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj '/CN=Kestrix test " +
            name + "' -keyout " + dir + "/" + name + ".key -out " + dir + "/" + name +
            ".pem -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign",
        log);
}

// A server certificate for the subject alternative names, signed by the CA.
void _makeServer(const std::string& dir, const std::string& name, const std::string& ca,
                 const std::string& altNames, const std::string& log) {
    std::string base = dir + "/" + name;
    std::ofstream(base + ".ext") << "subjectAltName=" << altNames << "\n"
                                 << "basicConstraints=CA:FALSE\n"
                                 << "extendedKeyUsage=serverAuth\n";
    _run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + name +
             "' -keyout " + base + ".key -out " + base + ".csr",
         log);
    _run("openssl x509 -req -days 2 -in " + base + ".csr -CA " + dir + "/" + ca + ".pem -CAkey " +
             dir + "/" + ca + ".key -CAcreateserial -extfile " + base + ".ext -out " + base +
             ".pem",
         log);
}

}  // namespace

TestCertificates TestCertificates::Make(const std::string& dir) {
    std::string log = dir + "/openssl.log";
    _makeCa(dir, "ca", log);
    _makeCa(dir, "other-ca", log);
    _makeServer(dir, "server", "ca", "IP:127.0.0.1,DNS:localhost", log);
    _makeServer(dir, "wrong-host", "ca", "DNS:wrong-host.invalid", log);
    return TestCertificates{dir + "/ca.pem",         dir + "/server.pem",
                            dir + "/server.key",     dir + "/wrong-host.pem",
                            dir + "/wrong-host.key", dir + "/other-ca.pem"};
}
