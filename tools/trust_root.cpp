// Makes a Windows machine (or a Wine prefix) trust a certificate authority: adds the certificate of a PEM or DER
// file to the local machine's "Root" store, where certificate chains for TLS end. For trials of an update site
// whose certificate a private authority signed (the operator's guide), and for the end-to-end tests with a
// throwaway authority in a throwaway prefix. On Windows it needs an administrator, as certutil -addstore does.
// Usage: trust_root.exe FILE   (exit status 0 once the certificate is in the store)

#include "base/unique_resource.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type store) noexcept { CertCloseStore(store, 0); }
};

// A certificate file larger than this is not a certificate.
constexpr std::size_t kMaxFileBytes = 1 << 20;

std::vector<BYTE> DerFromFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::vector<char> raw(kMaxFileBytes + 1);
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<std::size_t>(in.gcount()));
    if (raw.empty() || raw.size() > kMaxFileBytes)
        return {};
    DWORD size = 0;
    if (!CryptStringToBinaryA(raw.data(), static_cast<DWORD>(raw.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr))
        return std::vector<BYTE>(raw.begin(), raw.end());
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(raw.data(), static_cast<DWORD>(raw.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_root.exe FILE\n");
        return 2;
    }
    const std::vector<BYTE> der = DerFromFile(argv[1]);
    if (der.empty()) {
        std::fprintf(stderr, "trust_root: cannot read a certificate from %s\n", argv[1]);
        return 1;
    }
    const UniqueResource<CertStoreTraits> store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) {
        std::fprintf(stderr, "trust_root: cannot open the Root store (error %lu)\n", GetLastError());
        return 1;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        std::fprintf(stderr, "trust_root: the Root store refused the certificate (error 0x%08lx)\n",
                     GetLastError());
        return 1;
    }
    return 0;
}
