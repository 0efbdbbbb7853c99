<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

final class CensusTest extends TestCase
{
    private static function logged(string $day_time, string $request, int $status = 200): string
    {
        return "203.0.113.7 - - [$day_time +0000] \"$request\" $status 412 \"-\" \"Mozilla/4.0 (compatible)\"\n";
    }

    private static function check(string $day_time, string $query, int $status = 200): string
    {
        return self::logged($day_time, "GET /upload/check_update.php?$query HTTP/1.0", $status);
    }

    public function test_each_line_is_a_check_of_one_version_or_no_check(): void
    {
        $this->assertSame(['2026-12-08', 5], census_check(self::check('08/Dec/2026:23:59:59', 'wersja=5')));
        $this->assertSame(['2026-03-01', -1], census_check(self::check('01/Mar/2026:00:00:00', 'wersja=-1')));
        // As the router reads the query: decoded, the last of repeated names.
        $this->assertSame(['2026-12-08', 12], census_check(self::check('08/Dec/2026:10:00:00', 'wersja=%312')));
        $this->assertSame(['2026-12-08', 3], census_check(self::check('08/Dec/2026:10:00:00', 'wersja=1&wersja=3')));
        // The nginx block's own format: the group and the rollout's choice after the combined fields.
        $this->assertSame(['2026-12-08', 6], census_check(rtrim(self::check('08/Dec/2026:10:00:00', 'wersja=6')) . ' "42" "in"'));
        $this->assertSame(['2026-12-08', 4], census_check(self::logged('08/Dec/2026:10:00:00',
            'HEAD /upload/check_update.php?wersja=4 HTTP/1.1')));
        foreach (['wersja=01', 'wersja=abc', 'wersja[]=1', 'x=1', 'wersja=2147483648', 'wersja='] as $query) {
            $this->assertSame(['2026-12-08', CENSUS_OTHER], census_check(self::check('08/Dec/2026:10:00:00', $query)), $query);
        }
        $this->assertSame(['2026-12-08', CENSUS_OTHER], census_check(self::logged('08/Dec/2026:10:00:00',
            'GET /upload/check_update.php HTTP/1.1')));

        $not_checks = [
            self::check('08/Dec/2026:10:00:00', 'wersja=5', 404),
            self::check('08/Dec/2026:10:00:00', 'wersja=5', 502),
            self::logged('08/Dec/2026:10:00:00', 'GET /files/5/core.dll HTTP/1.0'),
            self::logged('08/Dec/2026:10:00:00', 'POST /upload/check_update.php?wersja=5 HTTP/1.1'),
            self::logged('08/Dec/2026:10:00:00', 'GET /upload/check_update.php.bak?wersja=5 HTTP/1.1'),
            self::logged('08/Dec/2026:10:00:00', 'GET /x/upload/check_update.php?wersja=5 HTTP/1.1'),
            self::logged('08/Dec/2026:10:00:00', '\x16\x03\x01\x00'),
            self::check('08/Foo/2026:10:00:00', 'wersja=5'),
            '', "\n", 'garbage', str_repeat('[', 10000),
            '203.0.113.7 - - [08/Dec/2026:10:00:00 +0000] "GET /upload/check_update.php?wersja=5 HTTP/1.0"',
        ];
        foreach ($not_checks as $line) {
            $this->assertNull(census_check($line), $line);
        }
    }

    public function test_rotated_and_gzipped_logs_are_counted_per_day_and_version(): void
    {
        $folder = sys_get_temp_dir() . '/update-census-' . bin2hex(random_bytes(6));
        mkdir($folder);
        try {
            file_put_contents("$folder/access.log.2.gz", gzencode(
                self::check('07/Dec/2026:08:00:00', 'wersja=2') . self::check('07/Dec/2026:09:00:00', 'wersja=2')
                . self::check('07/Dec/2026:09:30:00', 'wersja=3')));
            file_put_contents("$folder/access.log.1",
                self::check('08/Dec/2026:08:00:00', 'wersja=3') . self::logged('08/Dec/2026:08:00:01', 'GET /files/3/a.dll HTTP/1.0')
                . self::check('08/Dec/2026:08:00:02', 'wersja=-1'));
            file_put_contents("$folder/access.log", self::check('08/Dec/2026:23:00:00', 'wersja=junk')
                . 'no newline at the end');

            $counts = count_checks(logs_lines(["$folder/access.log", "$folder/access.log.1", "$folder/access.log.2.gz"]));
            $this->assertEquals(['2026-12-07' => [2 => 2, 3 => 1], '2026-12-08' => [3 => 1, -1 => 1, CENSUS_OTHER => 1]], $counts);

            $table = census_table($counts, 3);
            $this->assertMatchesRegularExpression('/^day +checks +at 3 +3 +2 +-1 \(unread\) +other\n/', $table);
            $rows = array_map(fn($row) => preg_split('/ +/', $row), explode("\n", trim($table)));
            $this->assertCount(3, $rows);
            $this->assertSame(['2026-12-07', '3', '33.3%', '1', '2', '0', '0'], $rows[1]);
            $this->assertSame(['2026-12-08', '3', '33.3%', '1', '0', '1', '1'], $rows[2]);
            $this->assertSame('-', preg_split('/ +/', explode("\n", census_table($counts, null))[1])[2]);

            $this->expectException(RuntimeException::class);
            iterator_to_array(log_lines("$folder/missing.log"));
        } finally {
            exec('rm -rf ' . escapeshellarg($folder));
        }
    }
}
