#include "update/platform_code_signing.h"

#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace {

// Revocation checks fetch lists from the certificate authorities' servers;
// a build chooses them (UPDATE_PUBLISHER_REVOCATION).
#if UPDATE_PUBLISHER_REVOCATION
const DWORD revocation_checks = WTD_REVOKE_WHOLECHAIN;
const DWORD revocation_flags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
#else
const DWORD revocation_checks = WTD_REVOKE_NONE;
const DWORD revocation_flags = WTD_REVOCATION_CHECK_NONE;
#endif

// The path as the narrow file calls read it: in the ANSI code page.
std::wstring wide_path(const std::string& path)
{
    int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), &wide[0], length);
    return wide;
}

// The certificate holds the key in decoded form; the pin is over its DER.
bool key_digest(const CERT_CONTEXT* certificate, Sha256Digest& digest)
{
    BYTE* encoded = nullptr;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, &size))
        return false;
    bool hashed = sha256({{encoded, size}}, digest);
    LocalFree(encoded);
    return hashed;
}

bool chain_keys(HANDLE state, std::vector<Sha256Digest>& keys)
{
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (signer == nullptr || signer->csCertChain == 0)
        return false;
    for (DWORD i = 0; i < signer->csCertChain; ++i) {
        Sha256Digest digest;
        if (!key_digest(signer->pasCertChain[i].pCert, digest))
            return false;
        keys.push_back(digest);
    }
    return true;
}

}  // namespace

bool signer_chain_keys(const std::string& path, std::vector<Sha256Digest>& keys)
{
    keys.clear();
    const std::wstring wide = wide_path(path);
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = wide.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = revocation_checks;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = revocation_flags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // No window: nobody is asked whether to trust anything.
    HWND no_user = static_cast<HWND>(INVALID_HANDLE_VALUE);
    bool accepted = WinVerifyTrust(no_user, &action, &data) == ERROR_SUCCESS &&
                    chain_keys(data.hWVTStateData, keys);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(no_user, &action, &data);
    return accepted;
}
