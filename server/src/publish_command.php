<?php

declare(strict_types=1);

// What the handlers of server/publish share: the reading of their
// arguments, the setting up of a publisher, and the push to a bucket.

const FRESHNESS_KEY_OPTIONS = ['--freshness-key', '--old-freshness-key', '--old-freshness-key-below'];
const RELEASE_KEY_OPTIONS = ['--key', '--old-key', '--old-key-below'];
const STATEMENT_OPTIONS = ['--release-key', '--pins', '--root-keys', '--threshold', '--expires'];
const VALUE_OPTIONS = [...RELEASE_KEY_OPTIONS, ...FRESHNESS_KEY_OPTIONS, ...STATEMENT_OPTIONS, '--root-key', '--rollout',
                       '--least'];

final class Arguments
{
    /**
     * @param list<string> $positional
     * @param array<string, string> $options
     * @param list<int> $installers the versions of the --installer options
     */
    public function __construct(
        public readonly array $positional,
        public readonly array $options = [],
        public readonly array $installers = []
    ) {
    }
}

function parse_options(array $arguments): Arguments
{
    $positional = [];
    $options = [];
    $installers = [];
    while ($arguments !== []) {
        $argument = array_shift($arguments);
        if ($argument === '--installer' && $arguments !== []) {
            $installers[] = parse_version(array_shift($arguments));
        } elseif (in_array($argument, VALUE_OPTIONS, true) && $arguments !== []) {
            $options[$argument] = array_shift($arguments);
        } else {
            $positional[] = $argument;
        }
    }
    return new Arguments($positional, $options, $installers);
}

/**
 * The rule of a command that takes $count positional arguments (any number
 * but none when null), the options in $also and no --installer.
 * @return Closure(list<string>): ?Arguments
 */
function plain_arguments(?int $count, array $also = []): Closure
{
    return function (array $arguments) use ($count, $also): ?Arguments {
        $given = parse_options($arguments);
        $fits = ($count === null || count($given->positional) === $count) && $given->installers === []
            && array_diff(array_keys($given->options), $also) === [];
        return $fits ? $given : null;
    };
}

/**
 * The rule of a command that signs: the freshness key and, when
 * $release_key, the release key, each with the old key's pair whole or
 * absent; besides them only the options in $also, and --installer when
 * $installers.
 * @return Closure(list<string>): ?Arguments
 */
function signing_arguments(int $count, array $also = [], bool $installers = false, bool $release_key = true): Closure
{
    $allowed = [...FRESHNESS_KEY_OPTIONS, ...($release_key ? RELEASE_KEY_OPTIONS : []), ...$also];
    return function (array $arguments) use ($count, $allowed, $installers, $release_key): ?Arguments {
        $given = parse_options($arguments);
        $fits = count($given->positional) === $count && ($installers || $given->installers === [])
            && array_diff(array_keys($given->options), $allowed) === []
            && keys_given($given->options, ...FRESHNESS_KEY_OPTIONS)
            && (!$release_key || keys_given($given->options, ...RELEASE_KEY_OPTIONS));
        return $fits ? $given : null;
    };
}

// The current key is named, and the old key's pair whole or not at all.
function keys_given(array $options, string $current, string $old, string $old_below): bool
{
    return isset($options[$current]) && isset($options[$old]) === isset($options[$old_below]);
}

function signing_keys(array $options, string $current, string $old, string $old_below): SigningKeys
{
    return new SigningKeys(
        load_private_key($options[$current]),
        isset($options[$old]) ? load_private_key($options[$old]) : null,
        isset($options[$old_below]) ? parse_version($options[$old_below]) : 0
    );
}

function freshness_keys(Arguments $given): SigningKeys
{
    return signing_keys($given->options, ...FRESHNESS_KEY_OPTIONS);
}

// A publisher with the keys the arguments name and the configuration's store.
final class Publishing
{
    public readonly Config $config;
    public readonly ReleaseStore $store;
    public readonly Publisher $publisher;
    private readonly FreshnessSigner $freshness;
    private readonly bool $patching;
    private readonly bool $compressing;

    // $adds_files: files are added to the store, so the publisher pins check them.
    public function __construct(Arguments $given, bool $adds_files)
    {
        $freshness_keys = freshness_keys($given);
        $release_keys = signing_keys($given->options, ...RELEASE_KEY_OPTIONS);
        $this->config = Config::load();
        $this->store = new ReleaseStore($this->config->store);
        $statement = $this->store->current_statement();
        $serial = statement_serial_for($statement, $release_keys->current, $freshness_keys->current, time());
        $this->freshness = new FreshnessSigner($freshness_keys, $this->config->freshness_validity, time(), $serial);
        $patches = PatchMaker::find(on_terminal() ? fn(string $text) => fwrite(STDERR, $text) : null);
        $compressor = Compressor::find();
        $this->compressing = $compressor !== null;
        $this->patching = $patches !== null;
        // Under a key statement its pins are the ones clients check.
        $pins = $statement?->statement->pins ?? $this->config->publisher_pins;
        $publishers = $adds_files && $pins !== [] ? PublisherCheck::find($pins) : null;
        $this->publisher = new Publisher($this->store, $this->config->base_url, $this->config->product, $release_keys,
                                         $this->freshness, $patches, $publishers, $compressor);
        if ($adds_files && $publishers === null) {
            echo "publisher_pins is not set: the programs of this release are not checked for a code signature\n";
        }
    }

    public function print_offers(array $offers): void
    {
        echo "Replies (signed for product {$this->config->product}, good until {$this->freshness->expires()} UTC), by the version a client holds:\n";
        foreach ($offers as $client => $files) {
            $what = $files === [] ? 'nothing' : implode(', ', array_map(
                fn($file) => "{$file['name']} (v{$file['version']}, " . filesize($file['path']) . ' bytes'
                             . ($file['patch'] === null ? '' : ', patch ' . filesize($file['patch']['path']) . ' bytes')
                             . ($file['compressed'] === null ? '' : ', xz ' . filesize($file['compressed']) . ' bytes') . ')',
                $files));
            printf("  %11s: %s\n", $client === -1 ? '-1 (unread)' : (string)$client, $what);
        }
        echo "Files are offered under {$this->config->base_url}/<version>/<name>\n";
        if (!$this->patching) {
            echo "xdelta3 is not installed: no patches were made (on Debian: apt-get install xdelta3)\n";
        }
        if (!$this->compressing) {
            echo "xz is not installed: no compressed forms were made (on Debian: apt-get install xz-utils)\n";
        }
    }
}

// The store into the configuration's bucket, when it names one.
function push(Config $config): void
{
    if ($config->bucket === null) {
        return;
    }
    $bucket = new Bucket($config->bucket);
    $edge = $config->edge_url === null ? null : new EdgeCheck($config->edge_url, $config->base_url);
    $pushed = push_store(new ReleaseStore($config->store), $bucket, $edge, $config->freshness_validity, on_terminal());
    echo "Pushed to bucket {$bucket->name} at {$bucket->endpoint}: {$pushed['files']} files and "
         . "patches, then {$pushed['replies']} replies ({$pushed['bytes']} bytes)\n";
}

// A rollout's share into the configuration's bucket, when it names one.
function push_share(Config $config): void
{
    if ($config->bucket !== null) {
        $bucket = new Bucket($config->bucket);
        $count = push_rollout_share(new ReleaseStore($config->store), $bucket, $config->freshness_validity);
        echo "Pushed the share to bucket {$bucket->name} at {$bucket->endpoint} for $count versions\n";
    }
}

// Progress is for a person watching, not for a log.
function on_terminal(): bool
{
    return stream_isatty(STDERR);
}

function parse_percent(string $text): int
{
    if (preg_match('/^([1-9][0-9]?|100)%?$/D', $text, $match) !== 1) {
        throw new PublishRefused("\"$text\" is not a percentage from 1 to 100");
    }
    return (int)$match[1];
}

function parse_count(string $text): int
{
    if (preg_match('/^[1-9][0-9]{0,8}$/D', $text) !== 1) {
        throw new PublishRefused("\"$text\" is not a whole number of machines");
    }
    return (int)$text;
}
