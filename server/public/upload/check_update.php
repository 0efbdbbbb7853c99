<?php

declare(strict_types=1);

// GET /upload/check_update.php?wersja=N: the pre-built reply for version N,
// with its two signatures; an empty reply for anything else. Keeps no state.

require __DIR__ . '/../../src/config.php';
require __DIR__ . '/../../src/router.php';

$reply = find_reply($_GET['wersja'] ?? null, Config::load()->replies_folder());
// Names are narrow text, as the program reads them.
header('Content-Type: text/plain; charset=windows-1250');
header('Content-Length: ' . strlen($reply['body']));
// A cache in front (nginx's, a CDN) may hold a reply for a minute: an older
// reply names only files that stay in place, so it is late, never wrong.
header('Cache-Control: max-age=60');
if ($reply['signature'] !== null) {
    header('X-Update-Signature: ' . $reply['signature']);
    header('X-Update-Freshness: ' . $reply['freshness']);
}
echo $reply['body'];
