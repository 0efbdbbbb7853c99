<?php

declare(strict_types=1);

// The vendor's ECDSA P-256 key pairs: the release key, which signs what each
// reply offers, and the freshness key, which signs until when each reply
// stays good (freshness.php). Both private keys sign on the publishing
// machine, never on the web server; both public keys are compiled into the
// program.

function generate_key_pair(string $private_path, string $public_path): void
{
    foreach ([$private_path, $public_path] as $path) {
        if (file_exists($path)) {
            throw new RuntimeException("$path exists already; a key is never overwritten");
        }
    }
    $key = openssl_pkey_new(['private_key_type' => OPENSSL_KEYTYPE_EC, 'curve_name' => 'prime256v1']);
    if ($key === false || !openssl_pkey_export($key, $private_pem)) {
        throw new RuntimeException('cannot make a key: ' . openssl_error_string());
    }
    write_private_file($private_path, $private_pem);
    if (file_put_contents($public_path, openssl_pkey_get_details($key)['key']) === false) {
        throw new RuntimeException("cannot write $public_path");
    }
}

// The private key must not land where a web server could serve it or where
// it would be published with the code.
/** @param list<string> $forbidden_folders */
function check_private_key_place(string $path, array $forbidden_folders): void
{
    $folder = realpath(dirname($path));
    if ($folder === false) {
        throw new RuntimeException('no folder ' . dirname($path));
    }
    foreach ($forbidden_folders as $forbidden) {
        $forbidden = realpath($forbidden);
        if ($forbidden !== false && ($folder === $forbidden || str_starts_with($folder, $forbidden . '/'))) {
            throw new RuntimeException("$path is inside $forbidden; keep the private key elsewhere, offline");
        }
    }
}

// Created with mode 0600 from the start, so the key is never readable by others.
function write_private_file(string $path, string $data): void
{
    $old_mask = umask(0077);
    try {
        $file = @fopen($path, 'xb');
        if ($file === false || fwrite($file, $data) !== strlen($data)) {
            throw new RuntimeException("cannot write $path");
        }
        fclose($file);
        chmod($path, 0600);
    } finally {
        umask($old_mask);
    }
}

function load_private_key(string $path): OpenSSLAsymmetricKey
{
    $pem = @file_get_contents($path);
    $key = $pem === false ? false : openssl_pkey_get_private($pem);
    if ($key === false) {
        throw new RuntimeException("cannot read a private key from $path");
    }
    $details = openssl_pkey_get_details($key);
    if (($details['ec']['curve_name'] ?? '') !== 'prime256v1') {
        throw new RuntimeException("$path is not a P-256 EC key");
    }
    return $key;
}

// The release key's signature binds the body to the product and the version
// it answers, so a reply never verifies for a client at another version or
// of another product.
function signed_message(string $product, int $client_version, string $body): string
{
    return sprintf("produkt=%s\nwersja=%d\n", $product, $client_version) . $body;
}

function sign_reply(OpenSSLAsymmetricKey $key, string $product, int $client_version, string $body): string
{
    return sign_text($key, signed_message($product, $client_version, $body));
}

// The base64 of key's DER ECDSA / SHA-256 signature over message.
function sign_text(OpenSSLAsymmetricKey $key, string $message): string
{
    if (!openssl_sign($message, $signature, $key, OPENSSL_ALGO_SHA256)) {
        throw new RuntimeException('cannot sign: ' . openssl_error_string());
    }
    return base64_encode($signature);
}

// The keys of one kind (release or freshness) replies are signed with. After
// a change of key, clients below the version whose program carries the new
// public key still trust only the old one, so their replies (which offer
// that program) keep the old key's signature; every other reply, -1's
// included, gets the current key's.
final class SigningKeys
{
    public function __construct(
        public readonly OpenSSLAsymmetricKey $current,
        private readonly ?OpenSSLAsymmetricKey $old = null,
        private readonly int $old_below = 0
    ) {
    }

    public function key_for(int $client_version): OpenSSLAsymmetricKey
    {
        return $this->old !== null && $client_version >= 1 && $client_version < $this->old_below
            ? $this->old : $this->current;
    }
}
