<?php

declare(strict_types=1);

// check_update.php answered by PHP's own web server on a loopback port, over
// a store published by the tests.
final class RouterTest extends StoreTestCase
{
    private $server = null;
    private int $port = 0;

    protected function setUp(): void
    {
        parent::setUp();
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2', 'b.txt' => 'b2']);
        $config = $this->folder . '/config.ini';
        file_put_contents($config, "store = {$this->store_root}\nbase_url = " . self::BASE_URL . "\nproduct = " . self::PRODUCT . "\n");
        $this->start_server($config);
    }

    protected function tearDown(): void
    {
        if ($this->server !== null) {
            proc_terminate($this->server);
            proc_close($this->server);
        }
        parent::tearDown();
    }

    private function start_server(string $config): void
    {
        $probe = stream_socket_server('tcp://127.0.0.1:0');
        $this->port = (int)substr(strrchr(stream_socket_get_name($probe, false), ':'), 1);
        fclose($probe);
        $this->server = proc_open(
            [PHP_BINARY, '-S', "127.0.0.1:{$this->port}", '-t', dirname(__DIR__) . '/public'],
            [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'], 2 => ['file', '/dev/null', 'w']],
            $pipes, null, ['UPDATE_SERVER_CONFIG' => $config]);
        for ($attempt = 0; $attempt < 100; ++$attempt) {
            $socket = @fsockopen('127.0.0.1', $this->port, $code, $message, 1.0);
            if ($socket !== false) {
                fclose($socket);
                return;
            }
            usleep(50000);
        }
        $this->fail('the PHP web server did not start');
    }

    /** @return array{int, array<string, string>, string} status, headers (lower-case names), body */
    private function get(string $target, string $headers = ''): array
    {
        $socket = fsockopen('127.0.0.1', $this->port, $code, $message, 5.0);
        stream_set_timeout($socket, 10);
        fwrite($socket, "GET $target HTTP/1.0\r\nHost: localhost\r\n$headers\r\n");
        $response = stream_get_contents($socket);
        fclose($socket);
        [$head, $body] = explode("\r\n\r\n", $response, 2);
        $lines = explode("\r\n", $head);
        $headers = [];
        foreach (array_slice($lines, 1) as $line) {
            [$name, $value] = explode(':', $line, 2);
            $headers[strtolower($name)] = trim($value);
        }
        return [(int)explode(' ', $lines[0])[1], $headers, $body];
    }

    public function test_each_held_version_gets_its_stored_reply_and_signatures(): void
    {
        foreach (['1', '2', '-1'] as $version) {
            [$status, $headers, $body] = $this->get("/upload/check_update.php?wersja=$version");
            $stored = $this->reply($version);
            $this->assertSame(200, $status);
            $this->assertSame($stored['body'], $body);
            $this->assertStringStartsWith('text/plain', $headers['content-type']);
            $this->assertSame((string)strlen($body), $headers['content-length']);
            $served = ['body' => $body, 'signature' => $headers['x-update-signature'],
                       'freshness' => $headers['x-update-freshness']];
            $this->assertEquals($stored, $served);
            $this->assertSame([1, 1], [$this->release_verifies($version, $served), $this->freshness_verifies($version, $served)]);
        }
        $this->assertStringContainsString(self::BASE_URL . "/2/b.txt,2,", $this->get('/upload/check_update.php?wersja=1')[2]);
        $this->assertSame('', $this->get('/upload/check_update.php?wersja=2')[2]);
    }

    public function test_anything_but_a_held_canonical_version_gets_an_empty_unsigned_reply(): void
    {
        // Replies where a lookup of the raw text would find them.
        $replies = $this->store_root . '/replies';
        $decoy = file_get_contents("$replies/1.reply");
        foreach (['01', '+1', '1 ', ' 1', '-0', '1.0', '0x1', '1e0'] as $name) {
            file_put_contents("$replies/$name.reply", $decoy);
        }
        file_put_contents($this->store_root . '/secret.reply', $decoy);
        file_put_contents($this->store_root . '/secret', $decoy);

        $queries = ['', 'wersja=', 'wersja=abc', 'wersja=01', 'wersja=%2B1', 'wersja=1%20', 'wersja=+1', 'wersja=-0',
                    'wersja=1.0', 'wersja=0x1', 'wersja=1e0', 'wersja=1%00', 'wersja=%00', 'wersja=../secret',
                    'wersja=..%2Fsecret', 'wersja=..%2F..%2Fstore%2Fsecret', 'wersja=%2Fetc%2Fpasswd',
                    'wersja=99999999999999999999', 'wersja=2147483648', 'wersja=-2147483649', 'wersja=3',
                    'wersja=2147483647', 'wersja=0', 'wersja[]=1', 'wersja[a]=1', 'wersja[][]=1', 'WERSJA=1',
                    'wersja=1%0A', 'wersja=%EF%BC%91', 'wersja=' . str_repeat('9', 5000)];
        foreach ($queries as $query) {
            [$status, $headers, $body] = $this->get('/upload/check_update.php?' . $query);
            $this->assertSame([200, '', '0'], [$status, $body, $headers['content-length'] ?? null], $query);
            $this->assertArrayNotHasKey('x-update-signature', $headers, $query);
            $this->assertArrayNotHasKey('x-update-freshness', $headers, $query);
        }
    }

    public function test_a_cache_may_keep_a_reply_as_long_as_the_bucket_s_copy_of_it(): void
    {
        $this->assertSame('max-age=60', $this->get('/upload/check_update.php?wersja=1')[1]['cache-control']);
        $config = $this->folder . '/config.ini';
        file_put_contents($config, file_get_contents($config) . "freshness_validity = 300s\n");
        $this->assertSame('max-age=30', $this->get('/upload/check_update.php?wersja=1')[1]['cache-control']);
    }

    public function test_a_store_without_replies_answers_empty(): void
    {
        exec('rm -rf ' . escapeshellarg($this->store_root . '/replies'));
        [$status, , $body] = $this->get('/upload/check_update.php?wersja=1');
        $this->assertSame([200, ''], [$status, $body]);
    }
    public function test_during_a_rollout_the_group_header_picks_the_reply_and_caches_keep_them_apart(): void
    {
        $this->publisher()->publish(3, $this->release_folder(['a.dll' => 'a3']), [], new Rollout(3, [10], 0, time()));
        $target = '/upload/check_update.php?wersja=2';
        foreach (['X-Update-Group: 9' => 'in', 'X-Update-Group: 10' => 'out', '' => 'out', 'X-Update-Group: 09' => 'out'] as $header => $chosen) {
            [$status, $headers, $body] = $this->get($target, $header === '' ? '' : "$header\r\n");
            $this->assertSame([200, $chosen, 'X-Update-Group'], [$status, $headers['x-update-rollout'], $headers['vary']], $header);
            $this->assertSame($chosen === 'in', $body !== '', $header);
            $this->assertSame(1, $this->release_verifies('2', ['body' => $body, 'signature' => $headers['x-update-signature']]));
        }
        // Above the rolling release's predecessors the reply is everyone's.
        $this->assertArrayNotHasKey('x-update-rollout', $this->get('/upload/check_update.php?wersja=3', "X-Update-Group: 1\r\n")[1]);
    }
}
