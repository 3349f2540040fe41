#include "TlsChannel.h"

#define SECURITY_WIN32
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace Vardel::Shipper {

namespace {

constexpr DWORD REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                          ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                          ISC_REQ_MANUAL_CRED_VALIDATION;

std::string Code(SECURITY_STATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

bool ReadFileBytes(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return in.good() || in.eof();
}

} // namespace

struct CTlsChannel::CData {
    HCERTSTORE pfx = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    PCCERT_CONTEXT ca = nullptr;
    CredHandle cred{};
    bool haveCred = false;
    CtxtHandle ctx{};
    bool haveCtx = false;
    bool established = false;
    std::string target;
    std::string in; // the peer's bytes not yet taken
    SecPkgContext_StreamSizes sizes{};

    ~CData()
    {
        if (haveCtx)
            ::DeleteSecurityContext(&ctx);
        if (haveCred)
            ::FreeCredentialsHandle(&cred);
        if (cert)
            ::CertFreeCertificateContext(cert);
        if (ca)
            ::CertFreeCertificateContext(ca);
        if (pfx)
            ::CertCloseStore(pfx, 0);
    }
};

CTlsChannel::CTlsChannel() : m_data(std::make_unique<CData>()) {}
CTlsChannel::~CTlsChannel() = default;

bool CTlsChannel::Established() const { return m_data->established; }

bool CTlsChannel::Init(const std::string& caPath, const std::string& pfxPath, std::string& why)
{
    CData& d = *m_data;
    std::string pem, pfx;
    DWORD derLength = 0;
    if (!ReadFileBytes(caPath, pem) || pem.empty() ||
        !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &derLength, nullptr, nullptr)) {
        why = "cannot read the site CA's certificate " + caPath;
        return false;
    }
    std::vector<BYTE> der(derLength);
    ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                           &derLength, nullptr, nullptr);
    d.ca = ::CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), derLength);
    if (!d.ca) {
        why = caPath + " holds no certificate";
        return false;
    }
    if (!ReadFileBytes(pfxPath, pfx) || pfx.empty()) {
        why = "cannot read the PC's certificate " + pfxPath;
        return false;
    }
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), reinterpret_cast<BYTE*>(&pfx[0])};
    d.pfx = ::PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET);
    if (!d.pfx) {
        why = "cannot open " + pfxPath + " as PKCS#12 without a password (Windows error " +
              std::to_string(::GetLastError()) + ")";
        return false;
    }
    // The certificate that comes with its key (the file may hold the CA too).
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(d.pfx, c)) != nullptr;) {
        DWORD size = 0;
        if (::CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            d.cert = ::CertDuplicateCertificateContext(c);
            ::CertFreeCertificateContext(c);
            break;
        }
    }
    if (!d.cert) {
        why = pfxPath + " holds no certificate with its key";
        return false;
    }
    SCHANNEL_CRED schannel{};
    schannel.dwVersion = SCHANNEL_CRED_VERSION;
    schannel.cCreds = 1;
    schannel.paCred = &d.cert;
    schannel.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    schannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    const SECURITY_STATUS status =
        ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                    &schannel, nullptr, nullptr, &d.cred, nullptr);
    if (status != SEC_E_OK) {
        why = "Schannel takes no credentials of " + pfxPath + " (" + Code(status) + ")";
        return false;
    }
    d.haveCred = true;
    return true;
}

bool CTlsChannel::Start(const std::string& target, std::string& out, std::string& why)
{
    CData& d = *m_data;
    if (d.haveCtx)
        ::DeleteSecurityContext(&d.ctx);
    d.haveCtx = d.established = false;
    d.target = target;
    d.in.clear();
    return Step(out, why);
}

bool CTlsChannel::Step(std::string& out, std::string& why)
{
    CData& d = *m_data;
    for (;;) {
        SecBuffer inBuffers[2] = {{static_cast<unsigned long>(d.in.size()), SECBUFFER_TOKEN, &d.in[0]},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        unsigned long attributes = 0;
        const SECURITY_STATUS status = ::InitializeSecurityContextA(
            &d.cred, d.haveCtx ? &d.ctx : nullptr, const_cast<char*>(d.target.c_str()), REQUEST, 0, 0,
            d.haveCtx ? &inDesc : nullptr, 0, &d.ctx, &outDesc, &attributes, nullptr);
        d.haveCtx = true;
        if (outBuffer.pvBuffer) {
            out.append(static_cast<const char*>(outBuffer.pvBuffer), outBuffer.cbBuffer);
            ::FreeContextBuffer(outBuffer.pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return true;
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
            why = "the TLS handshake failed (" + Code(status) + ")";
            return false;
        }
        if (inBuffers[1].BufferType == SECBUFFER_EXTRA)
            d.in.erase(0, d.in.size() - inBuffers[1].cbBuffer);
        else
            d.in.clear();
        if (status == SEC_E_OK) {
            if (::QueryContextAttributesA(&d.ctx, SECPKG_ATTR_STREAM_SIZES, &d.sizes) != SEC_E_OK) {
                why = "Schannel gives no stream sizes";
                return false;
            }
            if (!CheckPeer(why))
                return false;
            d.established = true;
            return true;
        }
        if (d.in.empty())
            return true;
    }
}

bool CTlsChannel::CheckPeer(std::string& why)
{
    CData& d = *m_data;
    PCCERT_CONTEXT peer = nullptr;
    if (::QueryContextAttributesA(&d.ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK || !peer) {
        why = "the collector showed no certificate";
        return false;
    }
    const bool signedByCa = ::CryptVerifyCertificateSignatureEx(
        0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT, const_cast<CERT_CONTEXT*>(peer),
        CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(d.ca), 0, nullptr);
    const LONG time = ::CertVerifyTimeValidity(nullptr, peer->pCertInfo);
    DWORD size = 0;
    bool serverUse = false;
    if (::CertGetEnhancedKeyUsage(peer, 0, nullptr, &size) && size > 0) {
        std::vector<BYTE> usage(size);
        auto* list = reinterpret_cast<CERT_ENHKEY_USAGE*>(usage.data());
        if (::CertGetEnhancedKeyUsage(peer, 0, list, &size))
            for (DWORD i = 0; i < list->cUsageIdentifier; ++i)
                serverUse = serverUse || std::string(list->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_SERVER_AUTH;
    }
    ::CertFreeCertificateContext(peer);
    if (!signedByCa)
        why = "the collector's certificate is not signed by the site's CA";
    else if (time != 0)
        why = time < 0 ? "the collector's certificate is not valid yet" : "the collector's certificate has expired";
    else if (!serverUse)
        why = "the collector's certificate is not for a server";
    return why.empty();
}

bool CTlsChannel::Receive(const char* bytes, std::size_t length, std::string& out, std::string& plain,
                          std::string& why)
{
    m_data->in.append(bytes, length);
    if (!m_data->established && !Step(out, why))
        return false;
    return !m_data->established || Decrypt(plain, why);
}

bool CTlsChannel::Decrypt(std::string& plain, std::string& why)
{
    CData& d = *m_data;
    while (!d.in.empty()) {
        SecBuffer buffers[4] = {{static_cast<unsigned long>(d.in.size()), SECBUFFER_DATA, &d.in[0]},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::DecryptMessage(&d.ctx, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return true;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            why = "the collector ended TLS";
            return false;
        }
        if (status != SEC_E_OK) {
            why = status == SEC_I_RENEGOTIATE ? "the collector asked to renegotiate TLS, which is not supported"
                                              : "cannot decrypt (" + Code(status) + ")";
            return false;
        }
        // The buffers point into d.in: take them out before it changes.
        std::string extra;
        for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA)
                plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
            else if (b.BufferType == SECBUFFER_EXTRA)
                extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        }
        d.in = std::move(extra);
    }
    return true;
}

bool CTlsChannel::Encrypt(const std::string& plain, std::string& out, std::string& why)
{
    CData& d = *m_data;
    for (std::size_t at = 0; at < plain.size();) {
        const std::size_t chunk = std::min<std::size_t>(plain.size() - at, d.sizes.cbMaximumMessage);
        std::string record(d.sizes.cbHeader + chunk + d.sizes.cbTrailer, '\0');
        record.replace(d.sizes.cbHeader, chunk, plain, at, chunk);
        SecBuffer buffers[4] = {{d.sizes.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
                                {static_cast<unsigned long>(chunk), SECBUFFER_DATA, &record[d.sizes.cbHeader]},
                                {d.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[d.sizes.cbHeader + chunk]},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::EncryptMessage(&d.ctx, 0, &desc, 0);
        if (status != SEC_E_OK) {
            why = "cannot encrypt (" + Code(status) + ")";
            return false;
        }
        out.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        at += chunk;
    }
    return true;
}

} // namespace Vardel::Shipper
