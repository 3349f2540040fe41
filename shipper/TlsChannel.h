#pragma once
// TLS for the RELP session with Windows' own TLS (Schannel), without I/O:
// it takes the peer's bytes and gives the bytes to send, as CRelpSession
// does. The client presents the PC's certificate (a PKCS#12 file with its
// key) and takes only a collector certificate that the site's CA (a PEM
// file) signed for server use and that is valid now. One owner, one thread.

#include <windows.h>
#include <memory>
#include <string>

namespace Vardel::Shipper {

class CTlsChannel {
public:
    CTlsChannel();
    ~CTlsChannel();
    CTlsChannel(const CTlsChannel&) = delete;
    CTlsChannel& operator=(const CTlsChannel&) = delete;

    // Loads the CA and the PC's certificate; false, with why, when either
    // cannot be used.
    bool Init(const std::string& caPath, const std::string& pfxPath, std::string& why);
    // The first handshake bytes for a new connection to target.
    bool Start(const std::string& target, std::string& out, std::string& why);
    // The peer's bytes: handshake replies go to out, decrypted data to plain.
    // False, with why, when the handshake or the peer's certificate fails.
    bool Receive(const char* bytes, std::size_t length, std::string& out, std::string& plain, std::string& why);
    bool Established() const;
    bool Encrypt(const std::string& plain, std::string& out, std::string& why);

private:
    struct CData;
    bool Step(std::string& out, std::string& why);
    bool CheckPeer(std::string& why);
    bool Decrypt(std::string& plain, std::string& why);
    std::unique_ptr<CData> m_data;
};

} // namespace Vardel::Shipper
