<?php

declare(strict_types=1);

// Publishing with publisher pins: every Windows program or library of a
// release (by its bytes) must carry an Authenticode signature that
// osslsigncode verifies, whose signer's chain has a pinned key. A throw-away
// authority and publishers "a" and "b" (tests/tools/make_publishers), a
// bundle of the system's roots and that authority, and a minimal program
// signed here with osslsigncode.
final class PublisherPinsTest extends StoreTestCase
{
    private static string $authority = '';
    private static string $bundle = '';
    /** @var array<string, string> pin by name: ca, a, b */
    private static array $pins = [];

    public static function setUpBeforeClass(): void
    {
        parent::setUpBeforeClass();
        self::$authority = sys_get_temp_dir() . '/update-server-publishers-' . bin2hex(random_bytes(6));
        exec(escapeshellarg(dirname(__DIR__, 2) . '/tests/tools/make_publishers') . ' ' . escapeshellarg(self::$authority),
             $output, $status);
        self::assertSame(0, $status, 'make_publishers');
        self::$bundle = self::$authority . '/bundle.crt';
        file_put_contents(self::$bundle, file_get_contents(CA_BUNDLE) . "\n" . file_get_contents(self::$authority . '/ca.pem'));
        foreach (['ca', 'a', 'b'] as $name) {
            self::$pins[$name] = hash('sha256', file_get_contents(self::$authority . "/$name.spki"));
        }
    }

    public static function tearDownAfterClass(): void
    {
        exec('rm -rf ' . escapeshellarg(self::$authority));
    }

    // The smallest program osslsigncode signs: PE32+ headers, one section
    // holding a return.
    private static function program(string $mark = ''): string
    {
        $dos = 'MZ' . str_repeat("\0", 0x3a) . pack('V', 0x40);
        $coff = pack('vvVVVvv', 0x8664, 1, 0, 0, 0, 240, 0x0022);
        $optional = pack('vCCVVVVV', 0x20b, 14, 0, 0x200, 0, 0, 0x1000, 0x1000) . pack('P', 0x140000000)
            . pack('VVvvvvvvVVVVvv', 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200, 0, 2, 0x8160)
            . pack('PPPP', 0x100000, 0x1000, 0x100000, 0x1000) . pack('VV', 0, 16) . str_repeat("\0", 128);
        $section = str_pad('.text', 8, "\0") . pack('VVVVVVvvV', 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020);
        $headers = $dos . "PE\0\0" . $coff . $optional . $section;
        return str_pad($headers, 0x200, "\0") . str_pad("\xc3" . $mark, 0x200, "\0");
    }

    private function signed(string $program, string $publisher, array $options = []): string
    {
        $in = $this->folder . '/unsigned-' . bin2hex(random_bytes(4));
        $out = $in . '.signed';
        file_put_contents($in, $program);
        exec(implode(' ', array_map('escapeshellarg', array_merge(
            ['osslsigncode', 'sign', '-certs', self::$authority . "/$publisher.pem", '-key', self::$authority . "/$publisher-key.pem"],
            $options, ['-in', $in, '-out', $out]))) . ' 2>&1', $output, $status);
        $this->assertSame(0, $status, implode("\n", $output));
        return file_get_contents($out);
    }

    /** A publisher whose releases are checked against the pins of these names, the authority trusted. */
    private function checked_publisher(array $names, string $bundle = ''): Publisher
    {
        $check = new PublisherCheck(array_map(fn($name) => self::$pins[$name], $names), 'osslsigncode',
                                    $bundle === '' ? self::$bundle : $bundle);
        return new Publisher(new ReleaseStore($this->store_root), self::BASE_URL, self::PRODUCT,
                             new SigningKeys(self::$key), $this->freshness_signer(), null, $check);
    }

    private function assert_refused(Publisher $publisher, array $files, string $message): void
    {
        try {
            $publisher->publish(1, $this->release_folder($files));
            $this->fail("published, expected: $message");
        } catch (PublishRefused $refusal) {
            $this->assertSame($message, $refusal->getMessage());
        }
        $this->assertDirectoryDoesNotExist($this->store_root . '/files/1');
    }

    public function test_programs_signed_by_a_pinned_key_are_published_beside_files_that_are_no_programs(): void
    {
        $files = ['menu.exe' => $this->signed(self::program(), 'a'), 'helper.dll' => $this->signed(self::program('x'), 'a'),
                  'notes.exe' => "MZ but no program\r\n", 'data.bin' => str_repeat("\0", 100)];

        $this->checked_publisher(['b', 'a'])->publish(1, $this->release_folder($files));

        $this->assertSame($files['menu.exe'], file_get_contents($this->store_root . '/files/1/menu.exe'));
        $this->assertCount(5, $this->offer_lines('-1'), 'the four files and wersja.txt');
    }

    public function test_an_unsigned_unpinned_or_changed_program_is_refused_by_name(): void
    {
        $publisher = $this->checked_publisher(['a']);
        $by_a = $this->signed(self::program(), 'a');
        $changed = substr_replace($by_a, 'Y', 0x201, 1);
        $cases = [
            // A program is a program whatever its name says.
            [['readme.txt' => self::program()], 'readme.txt is a Windows program without an Authenticode signature'],
            [['menu.exe' => $this->signed(self::program(), 'b')],
             'menu.exe is signed by /CN=Updater test publisher b, and no key of its certificate chain is in publisher_pins'],
            // b's signature carrying a's certificate along is still b's.
            [['menu.exe' => $this->signed(self::program(), 'b', ['-ac', self::$authority . '/a.pem'])],
             'menu.exe is signed by /CN=Updater test publisher b, and no key of its certificate chain is in publisher_pins'],
            [['ok.dll' => $by_a, 'menu.exe' => $changed],
             'the Authenticode signature of menu.exe does not verify (osslsigncode verify)'],
        ];
        foreach ($cases as [$files, $message]) {
            $this->assert_refused($publisher, $files, $message);
        }
        // Without the authority among the trusted roots, as Windows would see it.
        $this->assert_refused($this->checked_publisher(['a'], CA_BUNDLE), ['menu.exe' => $by_a],
                              'the Authenticode signature of menu.exe does not verify (osslsigncode verify)');
    }

    public function test_a_pin_on_the_authority_s_key_takes_every_publisher_it_certified(): void
    {
        $files = ['a.exe' => $this->signed(self::program(), 'a'), 'b.exe' => $this->signed(self::program('b'), 'b')];

        $this->checked_publisher(['ca'])->publish(1, $this->release_folder($files));

        $this->assertFileExists($this->store_root . '/files/1/b.exe');
    }

    public function test_a_revert_is_checked_like_a_release(): void
    {
        $this->publish(1, ['menu.exe' => self::program('1')]);
        $this->publish(2, ['menu.exe' => $this->signed(self::program('2'), 'a')]);

        try {
            publish_revert($this->checked_publisher(['a']), new ReleaseStore($this->store_root), 3, 1);
            $this->fail('a revert to an unsigned program was published');
        } catch (PublishRefused $refusal) {
            $this->assertSame('menu.exe is a Windows program without an Authenticode signature', $refusal->getMessage());
        }
        $this->assertDirectoryDoesNotExist($this->store_root . '/files/3');
    }

    public function test_the_pins_setting_takes_64_lowercase_hex_digits_each(): void
    {
        $pins = [self::$pins['a'], self::$pins['b']];
        $this->assertSame($pins, parse_publisher_pins(implode(';', $pins)));
        $this->assertSame([], parse_publisher_pins(''));
        foreach ([strtoupper($pins[0]), substr($pins[0], 1), $pins[0] . '0', $pins[0] . ';', "$pins[0];;$pins[1]",
                  "$pins[0],$pins[1]", " $pins[0]", 'sha256:' . $pins[0]] as $bad) {
            try {
                parse_publisher_pins($bad);
                $this->fail("\"$bad\" was taken for pins");
            } catch (RuntimeException $error) {
                $this->assertStringContainsString('publisher pin', $error->getMessage());
            }
        }
        $config = $this->folder . '/config.ini';
        file_put_contents($config, "publisher_pins = \"$pins[0];$pins[1]\"\n");
        putenv("UPDATE_SERVER_CONFIG=$config");
        try {
            $this->assertSame($pins, Config::load()->publisher_pins);
        } finally {
            putenv('UPDATE_SERVER_CONFIG');
        }
    }

    public function test_publish_says_once_that_a_release_is_not_checked_and_refuses_an_unsigned_program_with_pins(): void
    {
        $config = $this->folder . '/config.ini';
        $key = $this->folder . '/private.pem';
        $fresh = $this->folder . '/freshness.pem';
        $run = function (string ...$arguments) use ($config): array {
            $process = proc_open(array_merge([PHP_BINARY, dirname(__DIR__) . '/publish'], $arguments),
                [0 => ['file', '/dev/null', 'r'], 1 => ['pipe', 'w'], 2 => ['pipe', 'w']], $pipes, $this->folder,
                ['UPDATE_SERVER_CONFIG' => $config, 'PATH' => getenv('PATH')]);
            $out = stream_get_contents($pipes[1]);
            $error = stream_get_contents($pipes[2]);
            return [proc_close($process), $out, $error];
        };
        file_put_contents($config, "store = store\n");
        $run('keygen', $key, $this->folder . '/public.pem');
        $run('keygen', '--freshness', $fresh, $this->folder . '/freshness-public.pem');
        $keys = ['--key', $key, '--freshness-key', $fresh];

        [$code, $out] = $run('release', '1', $this->release_folder(['menu.exe' => self::program()]), ...$keys);
        $this->assertSame(0, $code);
        $this->assertSame(1, substr_count($out, 'publisher_pins is not set: the programs of this release are not checked'));

        file_put_contents($config, "store = store\npublisher_pins = \"" . self::$pins['a'] . "\"\n");
        [$code, $out, $error] = $run('release', '2', $this->release_folder(['tool.dll' => self::program('2')]), ...$keys);
        $this->assertSame([1, "Refused: tool.dll is a Windows program without an Authenticode signature\n"], [$code, $error]);
        $this->assertStringNotContainsString('not checked', $out);
        $this->assertDirectoryDoesNotExist($this->folder . '/store/files/2');
    }
}
