#include "support/test_tls_context.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

SSL_CTX* TestServerTlsContext() {
    static SSL_CTX* ctx = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        if (!key || !cert) throw std::runtime_error("test certificate: key generation failed");
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 30);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        if (X509_sign(cert, key, EVP_sha256()) <= 0)
            throw std::runtime_error("test certificate: signing failed");
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        if (!c || SSL_CTX_use_certificate(c, cert) != 1 || SSL_CTX_use_PrivateKey(c, key) != 1)
            throw std::runtime_error("test certificate: server context failed");
        X509_free(cert);
        EVP_PKEY_free(key);
        return c;
    }();
    return ctx;
}
