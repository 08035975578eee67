// Throwaway certificates for HTTPS tests, made with the openssl command: a private CA,
// a server certificate it signed for 127.0.0.1 and localhost, one it signed for another
// host name only, and an unrelated second CA.
#ifndef KESTRIX_TESTS_TESTCERTIFICATES_H
#define KESTRIX_TESTS_TESTCERTIFICATES_H

#include <string>

struct TestCertificates {
    std::string caFile;
    std::string certFile;  // for IP 127.0.0.1 and DNS localhost
    std::string keyFile;
    std::string wrongHostCertFile;  // for DNS wrong-host.invalid only
    std::string wrongHostKeyFile;
    std::string otherCaFile;  // signed none of the above

    // Writes the files into dir (which must exist). Throws std::runtime_error, with the
    // openssl output, when a command fails.
    static TestCertificates Make(const std::string& dir);
};

#endif
