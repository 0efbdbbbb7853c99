<?php

declare(strict_types=1);

final class PublishTest extends StoreTestCase
{
    private function publish_three_versions(): void
    {
        $this->publish(1, ['menu.exe' => 'menu 1', 'core.dll' => 'core 1', 'help.txt' => 'help 1']);
        $this->publish(2, ['core.dll' => 'core two', 'data.bin' => "\0\r\n\x1a2"], [5]);
        $this->publish(3, ['Core.DLL' => 'core three', 'extra.txt' => 'x3']);
    }

    private function url(int $version, string $name): string
    {
        return self::BASE_URL . "/$version/$name";
    }

    private function line(int $version, string $name, string $data): array
    {
        return [$this->url($version, $name), (string)strlen($data), hash('sha256', $data)];
    }

    public function test_each_version_is_offered_every_newer_file_once_in_its_newest_form(): void
    {
        $this->publish_three_versions();

        $from_1 = [
            $this->line(3, 'Core.DLL', 'core three'),
            $this->line(2, 'data.bin', "\0\r\n\x1a2"),
            $this->line(3, 'extra.txt', 'x3'),
            $this->line(3, 'wersja.txt', '3'),
        ];
        $this->assertSame($from_1, $this->offer_lines('1'));
        // 5 is an installer's version above every release: nothing to offer.
        $this->assertSame([], $this->offer_lines('5'));
        $this->assertSame([$this->line(3, 'Core.DLL', 'core three'), $this->line(3, 'extra.txt', 'x3'),
                           $this->line(3, 'wersja.txt', '3')], $this->offer_lines('2'));
        $this->assertSame([], $this->offer_lines('3'));
        $this->assertSame('', $this->reply('3')['body']);
        $this->assertNotNull($this->reply('3')['signature'], 'an empty reply is signed too');
        // An unreadable version file repairs the whole installation.
        $this->assertSame([
            $this->line(3, 'Core.DLL', 'core three'),
            $this->line(2, 'data.bin', "\0\r\n\x1a2"),
            $this->line(3, 'extra.txt', 'x3'),
            $this->line(1, 'help.txt', 'help 1'),
            $this->line(1, 'menu.exe', 'menu 1'),
            $this->line(3, 'wersja.txt', '3'),
        ], $this->offer_lines('-1'));
        // Versions nobody holds have no reply.
        $this->assertSame(['body' => '', 'signature' => null, 'freshness' => null], $this->reply('4'));
    }

    public function test_every_listed_url_names_a_stored_file_of_that_size_and_hash(): void
    {
        $this->publish_three_versions();

        foreach (['-1', '1', '2', '5'] as $version) {
            foreach ($this->offer_lines($version) as [$url, $size, $hash]) {
                $path = $this->store_root . '/files' . substr($url, strlen(self::BASE_URL));
                $this->assertFileExists($path);
                $this->assertSame([(int)$size, $hash], [filesize($path), hash_file('sha256', $path)]);
            }
        }
        $this->assertSame('2', file_get_contents($this->store_root . '/files/2/wersja.txt'));
        $this->assertSame("5\n", file_get_contents($this->store_root . '/installers.txt'));
        $this->assertSame([], array_diff(scandir($this->store_root . '/tmp'), ['.', '..']), 'nothing left aside');
    }

    public function test_signatures_verify_only_for_the_product_and_version_they_answer(): void
    {
        $this->publish_three_versions();
        $public_key = openssl_pkey_get_public(self::$public_pem);

        foreach (['-1', '1', '2', '3', '5'] as $version) {
            $reply = $this->reply($version);
            $this->assertSame(1, $this->release_verifies($version, $reply), "version $version");
            $this->assertSame(1, $this->freshness_verifies($version, $reply), "version $version");
            // Replayed to another version or product, or with any change of the body, it fails.
            $this->assertSame(0, $this->release_verifies('4', $reply));
            $this->assertSame(0, $this->release_verifies($version, $reply, null, 'other.example'));
            $this->assertSame(0, $this->release_verifies($version, ['body' => $reply['body'] . "\r\n"] + $reply));
            $this->assertSame(0, $this->freshness_verifies('4', $reply));
            $this->assertSame(0, $this->freshness_verifies($version, ['body' => $reply['body'] . "\r\n"] + $reply));
        }
        $other_key = openssl_pkey_get_details(self::new_key())['key'];
        $reply = $this->reply('1');
        $this->assertSame(0, $this->release_verifies('1', $reply, $other_key));
        $this->assertSame(0, $this->freshness_verifies('1', $reply, $other_key));
        $this->assertSame(0, $this->release_verifies('1', $reply, self::$freshness_public_pem), 'the keys are not interchangeable');
        // Good for the configured validity from the publish.
        $expires = DateTimeImmutable::createFromFormat('Ymd\THis\Z', explode(' ', $reply['freshness'])[0], new DateTimeZone('UTC'));
        $this->assertEqualsWithDelta(time() + self::VALIDITY, $expires->getTimestamp(), 60);
    }

    public function test_after_a_change_of_key_clients_below_the_new_program_get_the_old_key_s_signature(): void
    {
        $new_key = self::new_key();
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2'], [1]);
        // Version 3 is the program built with the new public key.
        $publisher = $this->publisher(new SigningKeys($new_key, self::$key, 3));
        $publisher->publish(3, $this->release_folder(['updater.exe' => 'new key inside']));
        $publisher->publish(4, $this->release_folder(['a.dll' => 'a4']));

        $verifies_with = fn(string $version): array => [
            $this->release_verifies($version, $this->reply($version)),
            $this->release_verifies($version, $this->reply($version), openssl_pkey_get_details($new_key)['key'])];
        $this->assertSame([1, 0], $verifies_with('1'));
        $this->assertSame([1, 0], $verifies_with('2'));
        $this->assertSame([0, 1], $verifies_with('3'));
        $this->assertSame([0, 1], $verifies_with('4'));
        $this->assertSame([0, 1], $verifies_with('-1'));
        $this->assertStringContainsString('/3/updater.exe,', $this->reply('1')['body']);
    }

    public function test_names_that_look_like_numbers_stay_names(): void
    {
        $this->publish(1, ['42' => 'forty-two', '007' => 'bond', '1e3' => 'x']);

        $this->assertSame([$this->line(1, '007', 'bond'), $this->line(1, '1e3', 'x'), $this->line(1, '42', 'forty-two'),
                           $this->line(1, 'wersja.txt', '1')], $this->offer_lines('-1'));
    }

    public function test_installers_named_once_keep_their_reply_in_later_publishes(): void
    {
        $this->publish(10, ['a.dll' => 'a10'], [7]);
        $this->publish(11, ['b.dll' => 'b11']);

        $this->assertSame([$this->line(10, 'a.dll', 'a10'), $this->line(11, 'b.dll', 'b11'),
                           $this->line(11, 'wersja.txt', '11')], $this->offer_lines('7'));
    }

    public static function refused_releases(): array
    {
        return [
            'empty folder' => [[]],
            'bad name' => [['a:b' => 'x']],
            'device name' => [['com1.txt' => 'x']],
            'trailing dot' => [['menu.exe.' => 'x']],
            'name a URL cannot carry' => [['a%41.dll' => 'x']],
            'own version file' => [['a.dll' => 'x', 'Wersja.txt' => '9']],
            'same name on Windows' => [['a.dll' => 'x', 'A.dll' => 'y']],
        ];
    }

    /** @dataProvider refused_releases */
    public function test_a_refused_release_changes_nothing(array $files): void
    {
        $this->publish(1, ['menu.exe' => 'menu 1']);
        $before = $this->store_contents();

        try {
            $this->publish(2, $files);
            $this->fail('published');
        } catch (PublishRefused) {
        }
        $this->assertSame($before, $this->store_contents());
    }

    public function test_the_installation_s_own_names_are_refused_by_name(): void
    {
        foreach (['_update', '_UPDATE.lock'] as $name) {
            try {
                $this->publish(1, ['menu.exe' => 'menu', $name => 'x']);
                $this->fail("$name was published");
            } catch (PublishRefused $refusal) {
                $this->assertStringContainsString("\"$name\"", $refusal->getMessage());
            }
        }
    }

    public function test_refusals_of_versions_and_folders(): void
    {
        $this->publish(3, ['a.dll' => 'x']);
        $before = $this->store_contents();
        $folder = $this->release_folder(['b.dll' => 'y']);
        $with_sub_folder = $this->release_folder(['c.dll' => 'z']);
        mkdir("$with_sub_folder/sub");
        $attempts = [
            fn() => $this->publisher()->publish(3, $folder),
            fn() => $this->publisher()->publish(2, $folder),
            fn() => $this->publisher()->publish(0, $folder),
            fn() => $this->publisher()->publish(4, $with_sub_folder),
            fn() => $this->publisher()->publish(4, $this->folder . '/missing'),
            fn() => $this->publisher()->publish(4, $folder, [0]),
            fn() => parse_version('04'),
            fn() => parse_version('+4'),
            fn() => parse_version('4.0'),
            fn() => parse_version('2147483648'),
            fn() => parse_version('-1'),
        ];
        foreach ($attempts as $number => $attempt) {
            try {
                $attempt();
                $this->fail("attempt $number was not refused");
            } catch (PublishRefused) {
            }
        }
        $this->assertSame($before, $this->store_contents());
        $this->assertSame(2147483647, parse_version('2147483647'));
    }

    public function test_a_republish_replaces_each_reply_whole_while_it_is_being_read(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2']);
        $path = $this->store_root . '/replies/1.reply';
        $reader = fopen($path, 'rb');
        $old = fread($reader, 10);

        $this->publish(3, ['b.dll' => str_repeat('b', 5000)]);
        // The reader keeps the whole old reply; a new reader gets the whole new one.
        $old .= stream_get_contents($reader);
        fclose($reader);
        $reply = parse_stored_reply($old);
        $this->assertSame([1, 1], [$this->release_verifies('1', $reply), $this->freshness_verifies('1', $reply)]);
        $this->assertStringContainsString('/2/a.dll,2,', $old);
        $this->assertStringNotContainsString('b.dll', $old);
        $this->assertStringContainsString('/3/b.dll,5000,', file_get_contents($path));
    }
}
