<?php

declare(strict_types=1);

// Binary patches (VCDIFF, RFC 3284) from the form of a file a client holds
// to the form it is offered, made by xdelta3 in the plain form the program
// decodes: no secondary compression, no application header, no checksum.
// The program applies a patch in memory, so one is kept only when it saves
// at least half of the file and stays within the program's bound.

const PATCH_SIZE_LIMIT = 32 * 1024 * 1024;

// xdelta3 takes a source window from 512 KiB to 2 GiB; the whole source
// file fits, since a released file is below 2 GiB.
const XDELTA3_SMALLEST_WINDOW = 512 * 1024;

final class PatchMaker
{
    /** @param ?callable(string): void $show told of each diff as it starts (xdelta3 diffs a few MB/s) */
    public function __construct(private readonly string $xdelta3, private readonly mixed $show = null)
    {
    }

    /**
     * The xdelta3 on the PATH; null when it is not installed.
     * @param ?callable(string): void $show
     */
    public static function find(?callable $show = null): ?PatchMaker
    {
        foreach (explode(PATH_SEPARATOR, (string)getenv('PATH')) as $folder) {
            if ($folder !== '' && is_file("$folder/xdelta3") && is_executable("$folder/xdelta3")) {
                return new PatchMaker("$folder/xdelta3", $show);
            }
        }
        return null;
    }

    /** Writes the patch from $source to $target into $patch; whether it is worth keeping. */
    public function make(string $source, string $target, string $patch): bool
    {
        $window = max(filesize($source), XDELTA3_SMALLEST_WINDOW);
        if ($this->show !== null) {
            ($this->show)(sprintf("Diffing %s (%d bytes) against %s\n", $target, filesize($target), $source));
        }
        $process = proc_open([$this->xdelta3, '-e', '-f', '-S', 'none', '-A', '-n', '-B', (string)$window,
                              '-s', $source, $target, $patch],
                             [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'], 2 => ['pipe', 'w']],
                             $pipes);
        if ($process === false) {
            throw new RuntimeException("cannot run {$this->xdelta3}");
        }
        $error = stream_get_contents($pipes[2]);
        fclose($pipes[2]);
        $status = proc_close($process);
        if ($status !== 0) {
            throw new RuntimeException("xdelta3 exited with $status making the patch from $source to $target: " . trim($error));
        }
        clearstatcache(true, $patch);
        return is_patch_worth_keeping(filesize($patch), filesize($target));
    }
}

function is_patch_worth_keeping(int $patch_size, int $file_size): bool
{
    return $patch_size * 2 < $file_size && $patch_size <= PATCH_SIZE_LIMIT;
}
