<?php

declare(strict_types=1);

require_once __DIR__ . '/config.php';

// The store copied to an S3-compatible bucket, for an edge in front of it
// (server/edge/) to serve:
//   files/...       the store's files/ folder: released files, patches and
//                   key statements
//   replies/<N>     the reply for a client at version N: its body, with the
//                   two signatures as user metadata (update-signature,
//                   update-freshness) and the key claim where there is one
//                   (update-keys)
//   replies/none    the empty reply, for a query that names no version
// Files go first, each verified, and only then the replies: a reply in the
// bucket never names a file that is not there. Every object is written
// whole by one PUT, so a reader gets the old or the new reply, never a mix;
// nothing is deleted, so a reply that an edge still holds keeps its files.

const EMPTY_REPLY_OBJECT = 'replies/none';
const REPLY_CONTENT_TYPE = 'text/plain; charset=windows-1250';
const FILE_CONTENT_TYPE = 'application/octet-stream';
// How long a cache in front may keep a reply: long enough to answer nearly
// every check from the cache, short enough that a push shows within a minute
// and that no cached reply outlives its own expiry.
const REPLY_CACHE_SECONDS = 60;

function reply_object_name(int $client_version): string
{
    return "replies/$client_version";
}

// At most a tenth of the freshness validity, so that a reply taken from a
// cache has nearly all of its validity left.
function reply_cache_control(int $freshness_validity): string
{
    return 'max-age=' . min(REPLY_CACHE_SECONDS, intdiv($freshness_validity, 10));
}

/**
 * One object to write: a local file (path) or a text (body), with its size
 * and MD5 (lowercase hex), which the bucket's answer must show afterwards.
 * @return array{key: string, path: ?string, body: ?string, size: int, md5: string,
 *               content_type: string, cache_control: ?string, metadata: array<string, string>}
 */
function bucket_object(string $key, ?string $path, ?string $body, string $content_type,
                       ?string $cache_control = null, array $metadata = []): array
{
    return ['key' => $key, 'path' => $path, 'body' => $body,
            'size' => $path === null ? strlen($body) : filesize($path),
            'md5' => $path === null ? md5($body) : md5_file($path),
            'content_type' => $content_type, 'cache_control' => $cache_control, 'metadata' => $metadata];
}

/**
 * Every file under the store's files/ folder, as its object, by key.
 * @return list<array{key: string, path: string}>
 */
function store_files(ReleaseStore $store): array
{
    $root = $store->files_folder();
    $files = [];
    if (is_dir($root)) {
        $walk = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($root, FilesystemIterator::SKIP_DOTS));
        foreach ($walk as $entry) {
            if ($entry->isFile()) {
                $files[] = ['key' => 'files/' . substr($entry->getPathname(), strlen($root) + 1),
                            'path' => $entry->getPathname()];
            }
        }
    }
    usort($files, fn($a, $b) => strcmp($a['key'], $b['key']));
    return $files;
}

/**
 * The files the bucket lacks or holds in another form (size, or MD5 where
 * the bucket's ETag is one); a released file never changes, so the rest
 * are skipped.
 * @param list<array{key: string, path: string}> $files
 * @param array<string, array{size: int, etag: string}> $in_bucket by key
 */
function files_to_push(array $files, array $in_bucket): array
{
    $objects = [];
    foreach ($files as $file) {
        $held = $in_bucket[$file['key']] ?? null;
        if ($held !== null && $held['size'] === filesize($file['path'])
            && strtolower(trim($held['etag'], '"')) === md5_file($file['path'])) {
            continue;
        }
        $objects[] = bucket_object($file['key'], $file['path'], null, FILE_CONTENT_TYPE);
    }
    return $objects;
}

/**
 * Every stored reply as its object, and the empty reply.
 * @param array<int, array{signature: string, freshness: string, body: string}> $replies by client version
 */
function reply_objects(array $replies, int $freshness_validity): array
{
    $cache_control = reply_cache_control($freshness_validity);
    $objects = [];
    foreach ($replies as $client => $reply) {
        $metadata = ['update-signature' => $reply['signature'], 'update-freshness' => $reply['freshness']];
        $objects[] = bucket_object(reply_object_name($client), null, $reply['body'], REPLY_CONTENT_TYPE, $cache_control,
                                   $metadata + (($reply['keys'] ?? null) === null ? [] : ['update-keys' => $reply['keys']]));
    }
    $objects[] = bucket_object(EMPTY_REPLY_OBJECT, null, '', REPLY_CONTENT_TYPE, $cache_control);
    return $objects;
}

/**
 * What a push writes, in order: the files the bucket lacks, then every reply.
 * @param array<string, array{size: int, etag: string}> $in_bucket the bucket's files/, by key
 */
function push_plan(ReleaseStore $store, array $in_bucket, int $freshness_validity, int $now): array
{
    return array_merge(files_to_push(store_files($store), $in_bucket),
                       reply_objects(bucket_replies($store, $now), $freshness_validity));
}

/**
 * The replies the bucket serves. An edge cannot tell a client's rollout
 * group, so while a release rolls out every client it answers is one
 * outside the rollout (the held replies), until the rollout reaches
 * everyone: a bucket never offers a release to more clients than its share.
 * @return array<int, array{signature: string, freshness: string, body: string}> by client version
 */
function bucket_replies(ReleaseStore $store, int $now): array
{
    $rollout = $store->rollout();
    $rolling = $rollout !== null && !$rollout->is_complete($now);
    return ($rolling ? $store->stored_replies(true) : []) + $store->stored_replies();
}

/**
 * Copies the store into the bucket, under the store's lock so that no
 * publish changes the store meanwhile.
 * @return array{files: int, replies: int, bytes: int} what was written
 */
function push_store(ReleaseStore $store, Bucket $bucket, int $freshness_validity, bool $show_progress): array
{
    return $store->locked(function () use ($store, $bucket, $freshness_validity, $show_progress) {
        $objects = push_plan($store, $bucket->listing('files/'), $freshness_validity, time());
        $bucket->write($objects, $show_progress);
        $replies = count(array_filter($objects, fn($object) => str_starts_with($object['key'], 'replies/')));
        return ['files' => count($objects) - $replies, 'replies' => $replies,
                'bytes' => array_sum(array_column($objects, 'size'))];
    });
}

// The bucket, reached through bucket_client.py (python3-boto3) with the
// credentials in the environment: AWS_ACCESS_KEY_ID and
// AWS_SECRET_ACCESS_KEY, never a file.
final class Bucket
{
    public readonly string $endpoint;
    public readonly string $name;

    public function __construct(BucketAddress $address)
    {
        $this->endpoint = $address->endpoint;
        $this->name = $address->name;
    }

    /** @return array<string, array{size: int, etag: string}> the objects under $prefix, by key */
    public function listing(string $prefix): array
    {
        $listed = [];
        foreach (explode("\n", $this->run(['list', $prefix], '', false)) as $line) {
            $object = json_decode($line, true);
            if (is_array($object)) {
                $listed[$object['key']] = ['size' => $object['size'], 'etag' => $object['etag']];
            }
        }
        return $listed;
    }

    /**
     * Writes the objects in order, each verified (size and MD5) before the
     * next is written. Progress on the terminal when $show_progress.
     * @param list<array> $objects from bucket_object
     */
    public function write(array $objects, bool $show_progress): void
    {
        if ($objects !== []) {
            $this->run(['write'], json_encode(['objects' => array_map(fn($object) => ['body' => $object['body'] === null
                    ? null : base64_encode($object['body'])] + $object, $objects)], JSON_THROW_ON_ERROR), $show_progress);
        }
    }

    /** The client's standard output; its errors end in an exception. */
    private function run(array $arguments, string $input, bool $show_progress): string
    {
        // With progress, the client writes it, and any error, to the terminal.
        $errors_to = $show_progress ? STDERR : ['pipe', 'w'];
        // Debian's own interpreter, which python3-boto3 is installed for.
        $process = proc_open(array_merge(['/usr/bin/python3', __DIR__ . '/bucket_client.py', $this->endpoint, $this->name],
                                         $show_progress ? ['--progress'] : [], $arguments),
                             [0 => ['pipe', 'r'], 1 => ['pipe', 'w'], 2 => $errors_to], $pipes);
        if ($process === false) {
            throw new RuntimeException('cannot run /usr/bin/python3');
        }
        fwrite($pipes[0], $input);
        fclose($pipes[0]);
        $output = stream_get_contents($pipes[1]);
        fclose($pipes[1]);
        $errors = $show_progress ? 'see above' : trim(stream_get_contents($pipes[2]));
        if (!$show_progress) {
            fclose($pipes[2]);
        }
        if (proc_close($process) !== 0) {
            throw new RuntimeException("bucket {$this->name} at {$this->endpoint}: $errors");
        }
        return $output;
    }
}
