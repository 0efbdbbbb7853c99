<?php

declare(strict_types=1);

// GET /upload/check_update.php?wersja=N: the pre-built reply for version N,
// with its signatures (and the serial of the key statement they come
// from); an empty reply for anything else. While a release
// rolls out, the reply also depends on the client's group (X-Update-Group).
// Keeps no state.

require_once __DIR__ . '/../../src/config.php';
require_once __DIR__ . '/../../src/router.php';

$config = Config::load();
$reply = find_reply($_GET['wersja'] ?? null, $config->replies_folder(), $_SERVER['HTTP_X_UPDATE_GROUP'] ?? null,
                    read_rollout($config->store), time());
// Names are narrow text, as the program reads them.
header('Content-Type: text/plain; charset=windows-1250');
header('Content-Length: ' . strlen($reply['body']));
// A cache in front (nginx's, a CDN) may hold a reply for a minute at most:
// an older reply names only files that stay in place, so it is late, never
// wrong. A change of a rollout's share, or its halt, reaches clients within
// that time.
header('Cache-Control: ' . reply_cache_control($config->freshness_validity));
header('Vary: ' . GROUP_HEADER);
if ($reply['signature'] !== null) {
    header('X-Update-Signature: ' . $reply['signature']);
    header('X-Update-Freshness: ' . $reply['freshness']);
}
if (isset($reply['keys'])) {
    header('X-Update-Keys: ' . $reply['keys']);
}
// Which of the two replies a rolling release chose, for the access log that
// publish watch reads.
if (isset($reply['rollout'])) {
    header(ROLLOUT_HEADER . ': ' . $reply['rollout']);
}
echo $reply['body'];
