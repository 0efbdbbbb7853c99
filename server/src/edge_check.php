<?php

declare(strict_types=1);

// What the edge serves, read before a push names it: every file and patch
// the new replies name is fetched through the edge as a client fetches it
// (edge_check.py) and must be the store's, byte for byte. An edge cache that
// serves a truncated or stale copy under the right name then stops the push
// before any client is sent there.
final class EdgeCheck
{
    /**
     * @param string $url where publish reaches the edge: the scheme, host and
     *        port that stand in for base_url's, whose path and host header
     *        the requests keep
     */
    public function __construct(public readonly string $url, public readonly string $base_url)
    {
    }

    /**
     * Throws, naming the first object the edge serves otherwise and what it served.
     * @param array<string, string> $named bucket key => the store's path (named_files)
     */
    public function check(array $named): void
    {
        $base = parse_url($this->base_url);
        $host = $base['host'] . (isset($base['port']) ? ":{$base['port']}" : '');
        $objects = [];
        foreach ($named as $key => $path) {
            if (!is_file($path)) {
                throw new RuntimeException("$key is named by a reply but not in the store");
            }
            $objects[] = ['key' => $key, 'path' => ($base['path'] ?? '') . substr($key, strlen('files')),
                          'size' => filesize($path), 'sha256' => hash_file('sha256', $path)];
        }
        $process = proc_open(['/usr/bin/python3', __DIR__ . '/edge_check.py', $this->url, $host],
                             [0 => ['pipe', 'r'], 1 => ['pipe', 'w'], 2 => ['pipe', 'w']], $pipes);
        if ($process === false) {
            throw new RuntimeException('cannot run python3');
        }
        fwrite($pipes[0], json_encode($objects, JSON_THROW_ON_ERROR));
        fclose($pipes[0]);
        stream_get_contents($pipes[1]);
        $errors = trim(stream_get_contents($pipes[2]));
        fclose($pipes[1]);
        fclose($pipes[2]);
        if (proc_close($process) !== 0) {
            throw new RuntimeException("$errors; no reply was written");
        }
    }
}
