#include "update/platform_code_signing.h"

#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>

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

// What a chain may say of its top without an error of its own: the machine
// does not trust its root, or it ends below one. Windows refuses such a
// chain itself; Wine accepts it, and the pins then decide.
const DWORD root_trust_status = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;

// The path as the narrow file calls read it: in the ANSI code page.
std::wstring wide_path(const std::string& path)
{
    int length =
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), &wide[0],
                            length);
    return wide;
}

// One verification of a file by WinVerifyTrust and the state it leaves,
// which holds the signer and the chain until it is closed. No window: nobody
// is asked whether to trust anything.
class trust_state {
public:
    explicit trust_state(const std::string& path) : wide(wide_path(path))
    {
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = wide.c_str();
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = revocation_checks;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = revocation_flags;
        accepted = WinVerifyTrust(no_user(), &action, &data) == ERROR_SUCCESS;
    }
    trust_state(const trust_state&) = delete;
    trust_state& operator=(const trust_state&) = delete;

    ~trust_state()
    {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(no_user(), &action, &data);
    }

    // The signer of an accepted signature, or null.
    CRYPT_PROVIDER_SGNR* signer() const
    {
        CRYPT_PROVIDER_DATA* provider =
            accepted ? WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
        return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    }

private:
    static HWND no_user() { return static_cast<HWND>(INVALID_HANDLE_VALUE); }

    std::wstring wide;
    WINTRUST_FILE_INFO file = {};
    WINTRUST_DATA data = {};
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    bool accepted = false;
};

// Memory the platform allocated for a result, freed with LocalFree.
class local_memory {
public:
    local_memory() = default;
    local_memory(const local_memory&) = delete;
    local_memory& operator=(const local_memory&) = delete;
    ~local_memory() { LocalFree(bytes); }

    BYTE* bytes = nullptr;
};

// The certificate holds the key in decoded form; the pin is over its DER.
bool key_digest(const CERT_CONTEXT* certificate, Sha256Digest& digest)
{
    local_memory encoded;
    DWORD size = 0;
    return CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                               &certificate->pCertInfo->SubjectPublicKeyInfo,
                               CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded.bytes, &size) &&
           sha256({{encoded.bytes, size}}, digest);
}

bool carries_no_error(const CRYPT_PROVIDER_CERT& element)
{
    const HRESULT error = static_cast<HRESULT>(element.dwError);
    const bool root_trust_only =
        error == S_OK || error == CERT_E_UNTRUSTEDROOT || error == CERT_E_CHAINING;
    return root_trust_only && element.pChainElement != nullptr &&
           (element.pChainElement->TrustStatus.dwErrorStatus & ~root_trust_status) == 0;
}

// The certificate's own usage extension names code signing (one without
// the extension is not taken for one that allows everything).
bool is_for_code_signing(const CERT_CONTEXT* certificate)
{
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    auto usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0)
            return true;
    return false;
}

// sftVerifyAsOf is the time of the signature's timestamp when Windows
// accepted one, otherwise the time of the check.
bool is_sound_signer(const CRYPT_PROVIDER_SGNR& signer)
{
    const CERT_CONTEXT* certificate = signer.pasCertChain[0].pCert;
    FILETIME made = signer.sftVerifyAsOf;
    return is_for_code_signing(certificate) &&
           CertVerifyTimeValidity(&made, certificate->pCertInfo) == 0;
}

// Checked by the signature itself, whatever the names say.
bool is_signed_by(const CERT_CONTEXT* subject, const CERT_CONTEXT* issuer)
{
    return CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
               const_cast<CERT_CONTEXT*>(subject), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
               const_cast<CERT_CONTEXT*>(issuer), 0, nullptr) != FALSE;
}

bool chain_keys(const CRYPT_PROVIDER_SGNR& signer, std::vector<Sha256Digest>& keys)
{
    const CRYPT_PROVIDER_CERT* chain = signer.pasCertChain;
    if (chain == nullptr || signer.csCertChain == 0 || !is_sound_signer(signer))
        return false;
    for (DWORD i = 0; i < signer.csCertChain; ++i)
        if (!carries_no_error(chain[i]))
            return false;
    for (DWORD i = 0; i < signer.csCertChain; ++i) {
        if (i > 0 && !is_signed_by(chain[i - 1].pCert, chain[i].pCert))
            break;
        Sha256Digest digest;
        if (!key_digest(chain[i].pCert, digest))
            return false;
        keys.push_back(digest);
    }
    return true;
}

}  // namespace

bool signer_chain_keys(const std::string& path, std::vector<Sha256Digest>& keys)
{
    keys.clear();
    trust_state state(path);
    CRYPT_PROVIDER_SGNR* signer = state.signer();
    return signer != nullptr && chain_keys(*signer, keys);
}
