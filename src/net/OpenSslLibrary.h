// OpenSSL, loaded on the first TLS connection rather than at start: mapping libssl and libcrypto
// costs a program about 1.7 MiB of memory, which one that never speaks TLS should not pay.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <string>

// Every OpenSSL function the TLS layer calls. The header's macros (SSL_CTX_set_min_proto_version,
// BIO_reset and the like) are calls of the *_ctrl functions listed here.
#define MIRELO_OPENSSL_FUNCTIONS(X)                                                                              \
    X(BIO_ctrl) X(BIO_ctrl_pending) X(BIO_free) X(BIO_new) X(BIO_s_mem) X(BIO_write) X(ERR_clear_error)          \
    X(ERR_error_string_n) X(ERR_peek_last_error) X(SSL_CIPHER_get_name) X(SSL_CTX_ctrl) X(SSL_CTX_free)          \
    X(SSL_CTX_load_verify_locations) X(SSL_CTX_new) X(SSL_CTX_sess_set_new_cb) X(SSL_CTX_set_default_verify_paths) \
    X(SSL_CTX_set_verify) X(SSL_SESSION_free) X(SSL_SESSION_is_resumable) X(SSL_ctrl)          \
    X(SSL_do_handshake) X(SSL_free) X(SSL_get0_param) X(SSL_get1_session) X(SSL_get_current_cipher)             \
    X(SSL_get_error) X(SSL_get_ex_data) X(SSL_get_shutdown) X(SSL_get_verify_result) X(SSL_get_version)         \
    X(SSL_new) X(SSL_pending) X(SSL_read) X(SSL_session_reused) X(SSL_set1_host) X(SSL_set_bio)                 \
    X(SSL_set_connect_state) X(SSL_set_ex_data) X(SSL_set_session) X(SSL_shutdown) X(SSL_write)                \
    X(TLS_client_method) X(X509_VERIFY_PARAM_set1_ip_asc) X(X509_verify_cert_error_string)

struct OpenSslLibrary {
#define MIRELO_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
    MIRELO_OPENSSL_FUNCTIONS(MIRELO_OPENSSL_POINTER)
#undef MIRELO_OPENSSL_POINTER
};

// The library, loaded on the first call; nullptr when it cannot be, with the reason (English) in
// Error. Later calls give the same answer without trying again.
const OpenSslLibrary* LoadOpenSsl(std::string& Error);
// The library once LoadOpenSsl has loaded it; for the calls on every read and write, which
// should not pass the loading's check each time.
const OpenSslLibrary& LoadedOpenSsl();
