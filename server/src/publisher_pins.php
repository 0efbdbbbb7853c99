<?php

declare(strict_types=1);

// The vendor hears before the clients do: a client built with publisher pins
// installs a Windows program or library only when Windows accepts its
// Authenticode signature and the signer's certificate, or a certificate of
// its chain, has a pinned key. Publishing applies the same rule to every
// such file of a release, with osslsigncode, so that a release the clients
// would refuse is never published.

const CA_BUNDLE = '/etc/ssl/certs/ca-certificates.crt';
// A chain longer than this is no code-signing chain.
const LONGEST_CHAIN = 8;

// A Windows program or library by its bytes, as the program decides: a DOS
// header whose e_lfanew leads to the PE signature.
function is_pe_file(string $path): bool
{
    $file = @fopen($path, 'rb');
    if ($file === false) {
        return false;
    }
    $header = fread($file, 64);
    $is_pe = false;
    if (is_string($header) && strlen($header) === 64 && str_starts_with($header, 'MZ')) {
        $offset = unpack('V', $header, 0x3c)[1];
        $is_pe = fseek($file, $offset) === 0 && fread($file, 4) === "PE\0\0";
    }
    fclose($file);
    return $is_pe;
}

// The SHA-256 of a certificate's SubjectPublicKeyInfo (DER): what a pin names.
function key_pin(OpenSSLCertificate $certificate): string
{
    $pem = openssl_pkey_get_details(openssl_pkey_get_public($certificate))['key'];
    return hash('sha256', base64_decode(preg_replace('/-----[^-]+-----|\s/', '', $pem), true));
}

function certificate_der(OpenSSLCertificate $certificate): string
{
    openssl_x509_export($certificate, $pem);
    return base64_decode(preg_replace('/-----[^-]+-----|\s/', '', $pem), true);
}

/** @return list<OpenSSLCertificate> the certificates of a PEM text, in order */
function pem_certificates(string $text): array
{
    preg_match_all('/-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----/s', $text, $blocks);
    return array_values(array_filter(array_map(fn($block) => openssl_x509_read($block) ?: null, $blocks[0])));
}

final class PublisherCheck
{
    /** @var ?list<OpenSSLCertificate> the trusted roots, read when first needed */
    private ?array $roots = null;

    /** @param list<string> $pins */
    public function __construct(
        private readonly array $pins,
        private readonly string $osslsigncode,
        private readonly string $ca_bundle = CA_BUNDLE
    ) {
    }

    /** The check for these pins with the osslsigncode on the PATH. */
    public static function find(array $pins): PublisherCheck
    {
        foreach (explode(PATH_SEPARATOR, (string)getenv('PATH')) as $folder) {
            if ($folder !== '' && is_file("$folder/osslsigncode") && is_executable("$folder/osslsigncode")) {
                return new PublisherCheck($pins, "$folder/osslsigncode");
            }
        }
        throw new RuntimeException('publisher_pins are set but osslsigncode is not installed (on Debian: apt-get install osslsigncode)');
    }

    /**
     * Refuses, naming it, the first Windows program or library among the
     * files that a client with these pins would refuse.
     * @param list<array{name: string, path: string}> $files
     */
    public function check(array $files): void
    {
        foreach ($files as $file) {
            if (is_pe_file($file['path'])) {
                $this->check_program($file['name'], $file['path']);
            }
        }
    }

    private function check_program(string $name, string $path): void
    {
        $shown = addcslashes($name, "\0..\37\\");
        $embedded = $this->embedded_certificates($path);
        if ($embedded === null) {
            throw new PublishRefused("$shown is a Windows program without an Authenticode signature");
        }
        $signer = $this->verified_signer($path, $embedded);
        if ($signer === null) {
            throw new PublishRefused("the Authenticode signature of $shown does not verify (osslsigncode verify)");
        }
        if (array_intersect(array_map('key_pin', $this->chain($signer, $embedded)), $this->pins) === []) {
            $subject = openssl_x509_parse($signer)['name'] ?? '?';
            throw new PublishRefused("$shown is signed by $subject, and no key of its certificate chain is in publisher_pins");
        }
    }

    /** @return ?list<OpenSSLCertificate> the certificates the signature carries; null when it has none */
    private function embedded_certificates(string $path): ?array
    {
        $signature = tempnam(sys_get_temp_dir(), 'signature-');
        try {
            if (!$this->run(['extract-signature', '-pem', '-in', $path, '-out', $signature . '.pem'])) {
                return null;
            }
            $certificates = [];
            if (!openssl_pkcs7_read((string)file_get_contents($signature . '.pem'), $certificates)) {
                return null;
            }
            return pem_certificates(implode("\n", $certificates));
        } finally {
            @unlink($signature);
            @unlink($signature . '.pem');
        }
    }

    // The certificate that made the signature: the one osslsigncode accepts
    // as the leaf of a signature it verifies (digest, signature and chain to
    // a trusted root). A certificate merely carried along is not the signer.
    private function verified_signer(string $path, array $embedded): ?OpenSSLCertificate
    {
        foreach ($embedded as $certificate) {
            $leaf = 'sha256:' . hash('sha256', certificate_der($certificate));
            if ($this->run(['verify', '-in', $path, '-CAfile', $this->ca_bundle, '-require-leaf-hash', $leaf])) {
                return $certificate;
            }
        }
        return null;
    }

    /**
     * The signer and its issuers up to a root: each found among the
     * certificates the signature carries or the trusted roots, by name and
     * by its key's signature.
     * @return list<OpenSSLCertificate>
     */
    private function chain(OpenSSLCertificate $signer, array $embedded): array
    {
        $chain = [$signer];
        $current = $signer;
        while (count($chain) < LONGEST_CHAIN) {
            $issuer = $this->issuer_of($current, array_merge($embedded, $this->roots()));
            if ($issuer === null || openssl_x509_parse($issuer)['subject'] === openssl_x509_parse($current)['subject']) {
                break;
            }
            $chain[] = $current = $issuer;
        }
        return $chain;
    }

    private function issuer_of(OpenSSLCertificate $certificate, array $candidates): ?OpenSSLCertificate
    {
        $issuer_name = openssl_x509_parse($certificate)['issuer'];
        foreach ($candidates as $candidate) {
            if (openssl_x509_parse($candidate)['subject'] === $issuer_name
                && openssl_x509_verify($certificate, $candidate) === 1) {
                return $candidate;
            }
        }
        return null;
    }

    /** @return list<OpenSSLCertificate> */
    private function roots(): array
    {
        return $this->roots ??= pem_certificates((string)@file_get_contents($this->ca_bundle));
    }

    private function run(array $arguments): bool
    {
        $process = proc_open(array_merge([$this->osslsigncode], $arguments),
                             [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'], 2 => ['file', '/dev/null', 'w']],
                             $pipes);
        if ($process === false) {
            throw new RuntimeException("cannot run {$this->osslsigncode}");
        }
        return proc_close($process) === 0;
    }
}
