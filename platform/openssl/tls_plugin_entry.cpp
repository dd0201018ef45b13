// The TLS plugin: its one entry hands out the functions that need libcrypto.
#include "platform/openssl/certificate_maker.hpp"
#include "platform/openssl/tls_plugin.hpp"

extern "C" __attribute__((visibility("default"))) const quillon::TlsPluginCalls*
quillon_tls_calls() {
    static const quillon::TlsPluginCalls calls{&quillon::make_self_signed_certificate,
                                               &quillon::certificate_fingerprint,
                                               &quillon::check_tls_files};
    return &calls;
}
