<?php

declare(strict_types=1);

require_once __DIR__ . '/key_statement.php';
require_once __DIR__ . '/rollout.php';
require_once __DIR__ . '/stored_reply.php';

// The release store on disk:
//   files/<version>/<name>  the files changed in each released version (served)
//   files/patches/<to>/<from>/<name>
//                           the patch from version <from>'s form of <name> to
//                           version <to>'s (served)
//   no_patch/<to>/<from>/<name>
//                           empty: that pair was diffed and its patch was not
//                           worth keeping, so it is not diffed again
//   files/xz/<version>/<name>.xz
//                           the compressed form of a released file (served)
//   no_xz/<version>/<name>  empty: that file was compressed and its form was
//                           not worth keeping
//   files/keys/<serial>     the published key statements (key_statement.php),
//                           served; one never changes
//   replies/<N>.reply       the signed reply for a client at version N
//   replies/held/<N>.reply  while the newest release rolls out: the reply for
//                           a client at N outside the rollout
//   rollout.json            the rollout's schedule and halt (rollout.php)
//   installers.txt          versions the vendor's installers ship, one a line
//   tmp/                    where everything is written before it is renamed
// A released folder never changes, and so neither does a patch between two
// of them. Everything appears by rename, so a reader sees a whole old or a
// whole new file, never a part.
final class ReleaseStore
{
    public function __construct(private readonly string $root)
    {
    }

    public function files_folder(): string
    {
        return $this->root . '/files';
    }

    /** @return list<int> released versions, oldest first */
    public function released_versions(): array
    {
        $versions = [];
        foreach ($this->listing($this->files_folder()) as $entry) {
            if (is_canonical_version($entry) && (int)$entry > 0 && is_dir($this->files_folder() . "/$entry")) {
                $versions[] = (int)$entry;
            }
        }
        sort($versions);
        return $versions;
    }

    /** @return list<array{name: string, path: string}> the files of one released version, by name */
    public function files_of(int $version): array
    {
        $folder = $this->files_folder() . "/$version";
        $names = $this->listing($folder);
        sort($names, SORT_STRING);
        return array_map(fn(string $name) => ['name' => $name, 'path' => "$folder/$name"], $names);
    }

    /**
     * The published key statements, serial 1 first.
     * @return list<SignedStatement>
     */
    public function statements(): array
    {
        $statements = [];
        for ($serial = 1; is_file($path = $this->statement_path($serial)); ++$serial) {
            $signed = parse_statement((string)file_get_contents($path));
            if ($signed === null || $signed->statement->serial !== $serial) {
                throw new RuntimeException("$path is not a key statement");
            }
            $statements[] = $signed;
        }
        return $statements;
    }

    public function current_statement(): ?SignedStatement
    {
        $statements = $this->statements();
        return $statements === [] ? null : end($statements);
    }

    // Never over one that is published: clients hold statements by serial.
    public function add_statement(SignedStatement $signed): void
    {
        $path = $this->statement_path($signed->statement->serial);
        if (file_exists($path)) {
            throw new PublishRefused("key statement {$signed->statement->serial} is published already");
        }
        $this->write_file($path, $signed->file());
    }

    private function statement_path(int $serial): string
    {
        return $this->files_folder() . '/' . STATEMENT_FOLDER . "/$serial";
    }

    /** @return list<int> */
    public function installer_versions(): array
    {
        $text = @file_get_contents($this->root . '/installers.txt');
        $versions = [];
        foreach (preg_split('/\s+/', (string)$text, -1, PREG_SPLIT_NO_EMPTY) as $word) {
            $versions[] = (int)$word;
        }
        return $versions;
    }

    /** @param list<int> $versions */
    public function save_installer_versions(array $versions): void
    {
        $versions = array_unique($versions);
        sort($versions);
        $this->write_file($this->root . '/installers.txt', implode('', array_map(fn($v) => "$v\n", $versions)));
    }

    // Copies the files into a new folder aside, writes the version file and
    // only then gives the folder its version's name.
    /** @param list<array{name: string, path: string}> $files */
    public function add_release(int $version, array $files, string $version_file_name): void
    {
        $folder = $this->make_work_folder();
        foreach ($files as $file) {
            $this->copy_file($file['path'], "$folder/{$file['name']}");
        }
        $this->write_new_file("$folder/$version_file_name", (string)$version);
        $this->make_folder($this->files_folder());
        if (!rename($folder, $this->files_folder() . "/$version")) {
            throw new RuntimeException("cannot move the files of version $version into place");
        }
    }

    /**
     * The kept patch from version $from's form of $name to version $to's, or
     * null. A pair is diffed once: $make writes the patch into the path it is
     * given and says whether it is worth keeping, and either answer stays.
     * @param callable(string): bool $make
     */
    public function patch(int $to, int $from, string $name, callable $make): ?string
    {
        return $this->made_once($this->files_folder() . "/patches/$to/$from/$name",
                                $this->root . "/no_patch/$to/$from/$name", $make);
    }

    /**
     * The kept compressed form of version $version's $name, or null; made
     * once, as a patch is.
     * @param callable(string): bool $make
     */
    public function compressed_form(int $version, string $name, callable $make): ?string
    {
        return $this->made_once($this->files_folder() . "/xz/$version/$name.xz",
                                $this->root . "/no_xz/$version/$name", $make);
    }

    /** @param callable(string): bool $make */
    private function made_once(string $path, string $not_kept, callable $make): ?string
    {
        if (is_file($path)) {
            return $path;
        }
        if (is_file($not_kept)) {
            return null;
        }
        $folder = $this->make_work_folder();
        $made = "$folder/" . basename($path);
        $kept = $make($made);
        if ($kept) {
            $this->sync_file($made);
            $this->move_into_place($made, $path);
        } else {
            $this->write_file($not_kept, '');
        }
        remove_tree($folder);
        return $kept ? $path : null;
    }

    /**
     * Every stored reply, or every held one, by the client version it answers.
     * @return array<int, array{signature: string, freshness: string, body: string}>
     */
    public function stored_replies(bool $held = false): array
    {
        $folder = $this->replies_folder($held);
        $replies = [];
        foreach ($this->listing($folder) as $entry) {
            $version = str_ends_with($entry, '.reply') ? substr($entry, 0, -strlen('.reply')) : '';
            if (!is_canonical_version($version)) {
                continue;
            }
            $path = stored_reply_path($folder, $version);
            $stored = @file_get_contents($path);
            $reply = $stored === false ? null : parse_stored_reply($stored);
            if ($reply === null) {
                throw new RuntimeException("$path is not a stored reply of this publish; run publish rebuild");
            }
            $replies[(int)$version] = $reply;
        }
        ksort($replies);
        return $replies;
    }

    public function save_reply(int $client_version, string $stored_reply, bool $held = false): void
    {
        $this->write_file(stored_reply_path($this->replies_folder($held), $client_version), $stored_reply);
    }

    // Renamed aside first, so that a reader finds every held reply or none.
    public function remove_held_replies(): void
    {
        $held = $this->replies_folder(true);
        if (is_dir($held)) {
            $aside = $this->make_work_folder() . '/held';
            if (!rename($held, $aside)) {
                throw new RuntimeException("cannot remove $held");
            }
            remove_tree(dirname($aside));
        }
    }

    public function rollout(): ?Rollout
    {
        return read_rollout($this->root);
    }

    public function save_rollout(?Rollout $rollout): void
    {
        if ($rollout !== null) {
            $this->write_file(rollout_path($this->root), $rollout->to_json());
        } elseif (file_exists(rollout_path($this->root)) && !unlink(rollout_path($this->root))) {
            throw new RuntimeException('cannot remove ' . rollout_path($this->root));
        }
    }

    private function replies_folder(bool $held): string
    {
        return $held ? held_replies_folder($this->root . '/replies') : $this->root . '/replies';
    }

    /** Runs $work while holding the store's lock, so publishers take turns. */
    public function locked(callable $work): mixed
    {
        $this->make_folder($this->root);
        $lock = fopen($this->root . '/publish.lock', 'c');
        if ($lock === false || !flock($lock, LOCK_EX)) {
            throw new RuntimeException('cannot lock the release store');
        }
        try {
            // Whatever a publish that was stopped part-way left aside.
            foreach ($this->listing($this->root . '/tmp') as $leftover) {
                remove_tree($this->root . "/tmp/$leftover");
            }
            return $work();
        } finally {
            flock($lock, LOCK_UN);
            fclose($lock);
        }
    }

    private function write_file(string $path, string $data): void
    {
        $temporary = $this->make_work_folder() . '/' . basename($path);
        $this->write_new_file($temporary, $data);
        $this->move_into_place($temporary, $path);
        rmdir(dirname($temporary));
    }

    private function move_into_place(string $temporary, string $path): void
    {
        $this->make_folder(dirname($path));
        if (!rename($temporary, $path)) {
            throw new RuntimeException("cannot move $path into place");
        }
    }

    // What another program wrote, on disk before it is renamed into place.
    private function sync_file(string $path): void
    {
        $file = fopen($path, 'r+b');
        if ($file === false || !fsync($file)) {
            throw new RuntimeException("cannot write $path");
        }
        fclose($file);
        chmod($path, 0644);
    }

    private function write_new_file(string $path, string $data): void
    {
        $file = fopen($path, 'xb');
        if ($file === false || fwrite($file, $data) !== strlen($data) || !fflush($file) || !fsync($file)) {
            throw new RuntimeException("cannot write $path");
        }
        fclose($file);
        chmod($path, 0644);
    }

    private function copy_file(string $source, string $target): void
    {
        $in = fopen($source, 'rb');
        $out = fopen($target, 'xb');
        if ($in === false || $out === false || stream_copy_to_stream($in, $out) !== filesize($source)
            || !fflush($out) || !fsync($out)) {
            throw new RuntimeException("cannot copy $source");
        }
        fclose($in);
        fclose($out);
        chmod($target, 0644);
    }

    private function make_work_folder(): string
    {
        $this->make_folder($this->root . '/tmp');
        $folder = $this->root . '/tmp/' . bin2hex(random_bytes(8));
        $this->make_folder($folder);
        return $folder;
    }

    private function make_folder(string $folder): void
    {
        if (!is_dir($folder) && !@mkdir($folder, 0755, true) && !is_dir($folder)) {
            throw new RuntimeException("cannot create $folder");
        }
    }

    /** @return list<string> */
    private function listing(string $folder): array
    {
        $entries = @scandir($folder);
        return $entries === false ? [] : array_values(array_diff($entries, ['.', '..']));
    }
}

function remove_tree(string $path): void
{
    if (is_dir($path) && !is_link($path)) {
        foreach (array_diff(scandir($path), ['.', '..']) as $entry) {
            remove_tree("$path/$entry");
        }
        rmdir($path);
    } elseif (file_exists($path) || is_link($path)) {
        unlink($path);
    }
}
