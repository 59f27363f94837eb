// Trusts a test certificate authority inside the test prefix: adds the DER
// certificate to the local machine's Root store.
//
//   import_root_ca CERT.der

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: import_root_ca CERT.der\n");
        return 2;
    }
    HANDLE hFile = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the certificate: %lu\n", ::GetLastError());
        return 1;
    }
    std::vector<BYTE> vecData(64 * 1024);
    DWORD cbRead = 0;
    const BOOL bRead =
        ::ReadFile(hFile, vecData.data(), static_cast<DWORD>(vecData.size()), &cbRead, nullptr);
    ::CloseHandle(hFile);
    if (!bRead || cbRead == 0 || cbRead == vecData.size()) {
        std::fprintf(stderr, "cannot read the certificate\n");
        return 1;
    }
    HCERTSTORE hStore =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!hStore) {
        std::fprintf(stderr, "cannot open the Root store: %lu\n", ::GetLastError());
        return 1;
    }
    const BOOL bAdded =
        ::CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, vecData.data(), cbRead,
                                           CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD dwError = ::GetLastError();
    ::CertCloseStore(hStore, 0);
    if (!bAdded) {
        std::fprintf(stderr, "cannot add the certificate: 0x%08lX\n", dwError);
        return 1;
    }
    std::printf("imported\n");
    return 0;
}
