<?php

declare(strict_types=1);

require_once __DIR__ . '/publisher_pins.php';

// A released file's compressed form, served beside it for the clients that
// fetch it whole: .xz as xz writes it, one stream of LZMA2 with a CRC64,
// after the x86 branch filter for a Windows program, with a dictionary no
// larger than the program's decoder takes (update/xz_decoder.h). It is kept
// only when clearly smaller than the file; the program checks the decoded
// bytes against the file's size and SHA-256 as it checks the file itself.

const XZ_DICTIONARY_LIMIT = 8 * 1024 * 1024;

final class Compressor
{
    public function __construct(private readonly string $xz)
    {
    }

    /** The xz on the PATH; null when it is not installed. */
    public static function find(): ?Compressor
    {
        foreach (explode(PATH_SEPARATOR, (string)getenv('PATH')) as $folder) {
            if ($folder !== '' && is_file("$folder/xz") && is_executable("$folder/xz")) {
                return new Compressor("$folder/xz");
            }
        }
        return null;
    }

    /** Writes $file's compressed form into $made; whether it is worth keeping. */
    public function make(string $file, string $made): bool
    {
        $filters = is_pe_file($file) ? ['--x86'] : [];
        $filters[] = '--lzma2=preset=9e,dict=' . xz_dictionary_size(filesize($file));
        $process = proc_open([$this->xz, '-c', '-q', '-T1', '--format=xz', '--check=crc64', ...$filters],
                             [0 => ['file', $file, 'r'], 1 => ['file', $made, 'w'], 2 => ['pipe', 'w']], $pipes);
        if ($process === false) {
            throw new RuntimeException("cannot run {$this->xz}");
        }
        $error = stream_get_contents($pipes[2]);
        fclose($pipes[2]);
        $status = proc_close($process);
        if ($status !== 0) {
            throw new RuntimeException("xz exited with $status compressing $file: " . trim($error));
        }
        clearstatcache(true, $made);
        return is_compression_worth_keeping(filesize($made), filesize($file));
    }
}

// The smallest dictionary that holds the whole file, up to the limit: xz
// writes the dictionary it was given, and the program makes room for it.
function xz_dictionary_size(int $file_size): int
{
    $size = 4096;
    while ($size < $file_size && $size < XZ_DICTIONARY_LIMIT) {
        $size *= 2;
    }
    return $size;
}

// At least an eighth of the file saved: less is not worth a second download
// path, and a file that does not compress (random bytes, an archive) goes
// whole as before.
function is_compression_worth_keeping(int $compressed_size, int $file_size): bool
{
    return $compressed_size * 8 <= $file_size * 7;
}
