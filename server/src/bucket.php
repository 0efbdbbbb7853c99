<?php

declare(strict_types=1);

require_once __DIR__ . '/config.php';
require_once __DIR__ . '/edge_check.php';
require_once __DIR__ . '/router.php';

// The store copied to an S3-compatible bucket, for an edge in front of it
// (server/edge/) to serve:
//   files/...       the store's files/ folder: released files, patches and
//                   key statements
//   replies/<N>     the reply for a client at version N: its body, with the
//                   two signatures as user metadata (update-signature,
//                   update-freshness) and the key claim where there is one
//                   (update-keys)
//   replies/none    the empty reply, for a query that names no version
//   replies/<N>/in, replies/<N>/out
//                   while a release rolls out, for a version below it: the
//                   reply with the release and the held one; replies/<N> is
//                   then empty, its update-share metadata the share of
//                   groups the edge answers with the first (rollout.php)
// Files go first, each verified, and only then the replies: a reply in the
// bucket never names a file that is not there. Every object is written
// whole by one PUT, so a reader gets the old or the new reply, never a mix;
// nothing is deleted, so a reply that an edge still holds keeps its files.

const EMPTY_REPLY_OBJECT = 'replies/none';
const REPLY_CONTENT_TYPE = 'text/plain; charset=windows-1250';
const FILE_CONTENT_TYPE = 'application/octet-stream';
function reply_object_name(int $client_version): string
{
    return "replies/$client_version";
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
 * Every stored reply as its object, and the empty reply. While a release
 * rolls out, a version with a held reply gets both as variants and, after
 * them, the choice between them: the share of groups offered the release now
 * (0 while halted), so that rollout, halt and resume sign nothing.
 */
function reply_objects(ReleaseStore $store, int $freshness_validity, int $now): array
{
    $cache_control = reply_cache_control($freshness_validity);
    $reply_object = fn(string $key, array $reply) => bucket_object($key, null, $reply['body'], REPLY_CONTENT_TYPE,
        $cache_control, ['update-signature' => $reply['signature'], 'update-freshness' => $reply['freshness']]
                        + (isset($reply['keys']) ? ['update-keys' => $reply['keys']] : []));
    // Held replies make a version's reply a choice, as at the router; an
    // unreadable rollout state includes nobody.
    $held = $store->stored_replies(true);
    $share = $store->rollout()?->share($now) ?? 0;
    $variants = [];
    $objects = [];
    foreach ($store->stored_replies() as $client => $reply) {
        $key = reply_object_name($client);
        if (isset($held[$client])) {
            $variants[] = $reply_object("$key/in", $reply);
            $variants[] = $reply_object("$key/out", $held[$client]);
            $objects[] = bucket_object($key, null, '', REPLY_CONTENT_TYPE, $cache_control,
                                       ['update-share' => (string)$share]);
        } else {
            $objects[] = $reply_object($key, $reply);
        }
    }
    $objects[] = bucket_object(EMPTY_REPLY_OBJECT, null, '', REPLY_CONTENT_TYPE, $cache_control);
    return array_merge($variants, $objects);
}

/**
 * What a push writes, in order: the files the bucket lacks, then every reply.
 * @param array<string, array{size: int, etag: string}> $in_bucket the bucket's files/, by key
 */
function push_plan(ReleaseStore $store, array $in_bucket, int $freshness_validity, int $now): array
{
    return array_merge(files_to_push(store_files($store), $in_bucket), reply_objects($store, $freshness_validity, $now));
}

/**
 * Copies the store into the bucket, under the store's lock so that no
 * publish changes the store meanwhile. With an edge, every file and patch
 * the replies name is read through it and must match the store before any
 * reply is written.
 * @return array{files: int, replies: int, bytes: int} what was written
 */
function push_store(ReleaseStore $store, Bucket $bucket, ?EdgeCheck $edge, int $freshness_validity,
                    bool $show_progress): array
{
    return $store->locked(function () use ($store, $bucket, $edge, $freshness_validity, $show_progress) {
        $objects = push_plan($store, $bucket->listing('files/'), $freshness_validity, time());
        $replies = array_values(array_filter($objects, fn($object) => str_starts_with($object['key'], 'replies/')));
        $files = array_slice($objects, 0, count($objects) - count($replies));
        $bucket->write($files, $show_progress);
        $edge?->check(named_files($replies, $edge->base_url, $store));
        $bucket->write($replies, $show_progress);
        return ['files' => count($files), 'replies' => count($replies),
                'bytes' => array_sum(array_column($objects, 'size'))];
    });
}

/**
 * A rollout's new share (or its halt) into the bucket: the choice of each
 * version whose two variants are in the bucket. Variants of an earlier
 * push are signed replies for that version too, and neither offers the
 * rolling release to more than the share; a version without them keeps the
 * reply it has, which does not offer it.
 * @return int the choices written
 */
function push_rollout_share(ReleaseStore $store, Bucket $bucket, int $freshness_validity): int
{
    return $store->locked(function () use ($store, $bucket, $freshness_validity) {
        $choices = share_objects(reply_objects($store, $freshness_validity, time()), $bucket->listing('replies/'));
        $bucket->write($choices, false);
        return count($choices);
    });
}

/**
 * The choices among reply objects whose two variants are in the bucket.
 * @param array<string, mixed> $in_bucket the bucket's replies/, by key
 */
function share_objects(array $reply_objects, array $in_bucket): array
{
    return array_values(array_filter($reply_objects, fn($object) => isset($object['metadata']['update-share'],
        $in_bucket["{$object['key']}/in"], $in_bucket["{$object['key']}/out"])));
}

/**
 * Every file and patch the reply objects name, by its key in the bucket,
 * with the store's path for it: each field of a reply line that is a URL
 * under $base_url.
 * @return array<string, string> key => path
 */
function named_files(array $reply_objects, string $base_url, ReleaseStore $store): array
{
    $named = [];
    foreach ($reply_objects as $object) {
        foreach (explode("\r\n", $object['body']) as $line) {
            foreach (explode(',', $line) as $field) {
                if (str_starts_with($field, "$base_url/")) {
                    $relative = substr($field, strlen($base_url) + 1);
                    $named["files/$relative"] = $store->files_folder() . "/$relative";
                }
            }
        }
    }
    ksort($named);
    return $named;
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
