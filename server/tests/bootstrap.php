<?php

declare(strict_types=1);

require_once __DIR__ . '/../src/config.php';
require_once __DIR__ . '/../src/bucket.php';
require_once __DIR__ . '/../src/publisher.php';
require_once __DIR__ . '/../src/router.php';
require_once __DIR__ . '/../src/revert.php';
require_once __DIR__ . '/../src/census_page.php';
require_once __DIR__ . '/../src/rollout_control.php';
require_once __DIR__ . '/../src/rollout_watch.php';
require_once __DIR__ . '/StoreTestCase.php';
