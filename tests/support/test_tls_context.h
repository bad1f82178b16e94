// The server side of TLS in tests and benchmarks: one OpenSSL context with a self-signed certificate for
// "localhost", made at run time on first use and kept for the life of the process.
#pragma once

typedef struct ssl_ctx_st SSL_CTX;

// The shared server context; throws std::runtime_error when OpenSSL cannot make the key or certificate.
SSL_CTX* TestServerTlsContext();
