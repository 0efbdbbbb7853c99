<?php

declare(strict_types=1);

// The patches publishing makes: for which pairs of forms, kept when, named
// how, and whether xdelta3 turns them back into the offered file.
final class PatchTest extends StoreTestCase
{
    private static function edited(string $data, int $at): string
    {
        return substr_replace($data, 'edited here', $at, 11);
    }

    private function full_line(int $version, string $name, string $data): array
    {
        return [self::BASE_URL . "/$version/$name", (string)strlen($data), hash('sha256', $data)];
    }

    /** The reply's lines for a client version, by the name at the end of the file URL. */
    private function lines_by_name(string $version): array
    {
        $lines = [];
        foreach ($this->offer_lines($version) as $line) {
            $lines[basename($line[0])] = $line;
        }
        return $lines;
    }

    /** What the line's patch makes of $held with xdelta3, once the line's patch fields are checked. */
    private function applied(array $line, string $held): string
    {
        $this->assertCount(6, $line);
        [, $size, , $patch_url, $patch_size, $base_sha256] = $line;
        $patch = $this->store_root . '/files' . substr($patch_url, strlen(self::BASE_URL));
        $this->assertSame((int)$patch_size, filesize($patch), "$patch_url is in place with its listed size");
        $this->assertLessThan((int)$size, 2 * (int)$patch_size, 'under half of the file');
        $this->assertSame(hash('sha256', $held), $base_sha256);
        $source = $this->folder . '/held';
        $result = $this->folder . '/applied';
        file_put_contents($source, $held);
        exec('xdelta3 -d -f -s ' . escapeshellarg($source) . ' ' . escapeshellarg($patch) . ' ' . escapeshellarg($result)
             . ' 2>&1', $output, $status);
        $this->assertSame(0, $status, implode("\n", $output));
        return file_get_contents($result);
    }

    /** Paths below a folder of the store, relative to it. */
    private function files_below(string $folder): array
    {
        $found = [];
        foreach (array_keys($this->store_contents()) as $path) {
            if (str_starts_with($path, "$folder/") && is_file("{$this->store_root}/$path")) {
                $found[] = substr($path, strlen($folder) + 1);
            }
        }
        return $found;
    }

    public function test_one_patch_per_pair_of_forms_shared_by_every_client_that_holds_the_older(): void
    {
        $this->assertNotNull(PatchMaker::find(), 'xdelta3 is installed (scripts/packages.sh)');
        $core = [1 => random_bytes(40000)];
        $core[4] = self::edited($core[1], 1000);
        $core[6] = self::edited($core[4], 30000);
        $new = random_bytes(30000);
        $this->publish(1, ['core.dll' => $core[1], 'help.txt' => 'help 1']);
        $this->publish(2, ['help.txt' => 'help 2'], [3]);
        $this->publish(4, ['core.dll' => $core[4]]);
        $this->publish(6, ['Core.DLL' => $core[6], 'new.dll' => $new], [5]);

        // Installers at 3 and 5 hold what the releases up to them made.
        foreach (['1' => 1, '2' => 1, '3' => 1, '4' => 4, '5' => 4] as $client => $from) {
            $lines = $this->lines_by_name((string)$client);
            $this->assertSame($this->full_line(6, 'Core.DLL', $core[6]), array_slice($lines['Core.DLL'], 0, 3),
                              "today's three fields for $client");
            $this->assertSame(self::BASE_URL . "/patches/6/$from/Core.DLL", $lines['Core.DLL'][3], "client $client");
            $this->assertSame($core[6], $this->applied($lines['Core.DLL'], $core[$from]), "client $client");
            // A new file has no older form, a few bytes make no patch worth
            // keeping and the version file gets none.
            $this->assertSame($this->full_line(6, 'new.dll', $new), $lines['new.dll']);
            $this->assertSame($this->full_line(6, 'wersja.txt', '6'), $lines['wersja.txt']);
            if (isset($lines['help.txt'])) {
                $this->assertSame($this->full_line(2, 'help.txt', 'help 2'), $lines['help.txt']);
            }
        }
        // An unreadable version file holds nothing known.
        foreach ($this->offer_lines('-1') as $line) {
            $this->assertCount(3, $line, $line[0]);
        }
        $this->assertSame([], $this->offer_lines('6'));
        $this->assertSame(['4/1/core.dll', '6/1/Core.DLL', '6/4/Core.DLL'], $this->files_below('files/patches'));
        $this->assertSame(['2/1/help.txt'], $this->files_below('no_patch'));
        $this->assertSame([], $this->files_below('tmp'), 'nothing left aside');
    }

    public function test_a_file_that_compresses_is_offered_compressed_beside_the_whole_file(): void
    {
        $this->assertNotNull(Compressor::find(), 'xz is installed (scripts/packages.sh)');
        $dll = file_get_contents(glob('/usr/lib/gcc/i686-w64-mingw32/*-posix/libssp-0.dll')[0]);
        $text = str_repeat("a line of help that repeats\n", 4000);
        $noise = random_bytes(30000);
        $this->publish(1, ['run.dll' => $dll, 'help.txt' => $text, 'noise.bin' => $noise]);
        $this->publish(2, ['help.txt' => $text . 'one more line', 'noise.bin' => $noise . 'x']);

        $lines = $this->lines_by_name('-1');
        foreach (['run.dll' => [1, $dll, '--x86'], 'help.txt' => [2, $text . 'one more line', '--lzma2']] as $name => [$version, $data, $filters]) {
            $this->assertSame(array_merge($this->full_line($version, $name, $data), ['', '', '']), array_slice($lines[$name], 0, 6),
                              "$name: no patch, and today's programs read no further");
            $this->assertCount(8, $lines[$name]);
            $this->assertSame(self::BASE_URL . "/xz/$version/$name.xz", $lines[$name][6]);
            $form = $this->store_root . "/files/xz/$version/$name.xz";
            $this->assertSame((int)$lines[$name][7], filesize($form));
            $this->assertLessThanOrEqual(strlen($data) * 7 / 8, filesize($form));
            $this->assertSame($data, shell_exec('xz -dc ' . escapeshellarg($form)));
            $listing = shell_exec('xz -lvv --robot ' . escapeshellarg($form));
            $this->assertStringContainsString($filters, $listing);
            $this->assertMatchesRegularExpression('/--lzma2=dict=(\d+KiB|[1-8]MiB)\b/', $listing, 'within the decoder\'s limit');
        }
        $this->assertStringNotContainsString('--x86', shell_exec('xz -lvv --robot ' . escapeshellarg("{$this->store_root}/files/xz/2/help.txt.xz")));
        // A client with the older form gets the patch, and the compressed form after it.
        $patched = $this->lines_by_name('1')['help.txt'];
        $this->assertSame(self::BASE_URL . '/patches/2/1/help.txt', $patched[3]);
        $this->assertSame(self::BASE_URL . '/xz/2/help.txt.xz', $patched[6]);
        // What does not compress, and the version file, are offered as before.
        $this->assertSame($this->full_line(2, 'noise.bin', $noise . 'x'), $lines['noise.bin']);
        $this->assertSame($this->full_line(2, 'wersja.txt', '2'), $lines['wersja.txt']);
        $this->assertSame(['1/noise.bin', '2/noise.bin'], $this->files_below('no_xz'));
        $this->assertSame([4096, 65536, XZ_DICTIONARY_LIMIT], array_map('xz_dictionary_size', [10, 40000, 100 << 20]),
                          'a larger file gets the limit');
        $this->assertSame(['1/help.txt.xz', '1/run.dll.xz', '2/help.txt.xz'], $this->files_below('files/xz'));
    }

    public function test_a_revert_patches_each_held_form_back_to_the_good_content(): void
    {
        $good = random_bytes(50000);
        $bad = self::edited($good, 25000);
        $this->publish(1, ['core.dll' => $good]);
        $this->publish(2, ['core.dll' => $bad]);

        publish_revert($this->publisher(), new ReleaseStore($this->store_root), 3, 1);

        $this->assertSame($good, $this->applied($this->lines_by_name('2')['core.dll'], $bad));
        $this->assertSame($good, $this->applied($this->lines_by_name('1')['core.dll'], $good));
        $this->assertSame(self::BASE_URL . '/patches/3/2/core.dll', $this->lines_by_name('2')['core.dll'][3]);
    }

    public function test_each_pair_is_diffed_once_whether_its_patch_is_kept_or_not(): void
    {
        // xdelta3 behind a script that notes every patch it is asked to make.
        $log = $this->folder . '/xdelta3.log';
        $counting = $this->folder . '/counting-xdelta3';
        file_put_contents($counting, "#!/bin/sh\necho \"\$*\" >> " . escapeshellarg($log) . "\nexec xdelta3 \"\$@\"\n");
        chmod($counting, 0755);
        $publisher = $this->publisher(null, new PatchMaker($counting));
        $similar = [1 => random_bytes(20000)];
        $similar[2] = self::edited($similar[1], 5000);
        $unlike = [1 => random_bytes(20000), 2 => random_bytes(20000)];
        $publisher->publish(1, $this->release_folder(['similar.bin' => $similar[1], 'unlike.bin' => $unlike[1]]));
        $publisher->publish(2, $this->release_folder(['similar.bin' => $similar[2], 'unlike.bin' => $unlike[2]]));
        $publisher->publish(3, $this->release_folder(['other.bin' => 'other']));
        $publisher->rebuild();

        $lines = $this->lines_by_name('1');
        $this->assertSame($similar[2], $this->applied($lines['similar.bin'], $similar[1]));
        $this->assertSame($this->full_line(2, 'unlike.bin', $unlike[2]), $lines['unlike.bin'], 'not under half: a full file');
        $made = array_map(fn($call) => basename(explode(' ', $call)[11]), file($log, FILE_IGNORE_NEW_LINES));
        sort($made);
        $this->assertSame(['similar.bin', 'unlike.bin'], $made);
        $this->assertSame(['2/1/similar.bin'], $this->files_below('files/patches'));
        $this->assertSame(['2/1/unlike.bin'], $this->files_below('no_patch'));
    }

    public function test_rebuild_remakes_a_patch_that_is_missing(): void
    {
        $one = random_bytes(60000);
        $two = self::edited($one, 100);
        $this->publish(1, ['a.dll' => $one]);
        $this->publish(2, ['a.dll' => $two]);
        $patch = $this->store_root . '/files/patches/2/1/a.dll';
        $this->assertFileExists($patch);
        unlink($patch);

        $this->publisher()->rebuild();

        $this->assertSame($two, $this->applied($this->lines_by_name('1')['a.dll'], $one));
    }
}
