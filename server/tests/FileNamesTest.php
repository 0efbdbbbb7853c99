<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// The list the program's staged-name test reads too.
final class FileNamesTest extends TestCase
{
    private const LIST = __DIR__ . '/../../tests/data/file_names.txt';

    /** @return list<array{string, string, int}> verdict, name, line number */
    private static function name_cases(): array
    {
        $cases = [];
        foreach (explode("\n", file_get_contents(self::LIST)) as $number => $line) {
            $line = rtrim($line, "\r");
            if ($line === '' || $line[0] === '#') {
                continue;
            }
            [$verdict, $name] = array_pad(explode(' ', $line, 2), 2, '');
            $cases[] = [$verdict, self::unescape($name), $number + 1];
        }
        return $cases;
    }

    private static function unescape(string $text): string
    {
        return preg_replace_callback('/\\\\(x[0-9a-fA-F]{2}|.)/s', function ($match) {
            return match (true) {
                $match[1] === 't' => "\t",
                strlen($match[1]) === 3 => chr(hexdec(substr($match[1], 1))),
                default => $match[1],
            };
        }, $text);
    }

    public function test_publishing_takes_exactly_the_accepted_names(): void
    {
        $cases = self::name_cases();
        $this->assertGreaterThanOrEqual(40, count($cases));
        foreach ($cases as [$verdict, $name, $line]) {
            $this->assertContains($verdict, ['accept', 'refuse', 'url-refuse'], "line $line");
            $this->assertSame($verdict !== 'refuse', is_safe_file_name($name), "line $line: staging rule");
            $this->assertSame($verdict === 'accept', is_publishable_file_name($name), "line $line");
        }
    }

    public function test_a_release_folder_with_an_accepted_name_publishes_and_a_refused_one_does_not(): void
    {
        $folder = sys_get_temp_dir() . '/update-names-' . bin2hex(random_bytes(6));
        mkdir($folder);
        try {
            foreach (self::name_cases() as [$verdict, $name, $line]) {
                // No file can have the first names here; publishing writes the version file itself.
                if ($name === '' || strpbrk($name, "/\0") !== false || $name === '.' || $name === '..'
                    || is_version_file($name)) {
                    continue;
                }
                touch("$folder/$name");
                try {
                    release_files($folder);
                    $this->assertSame('accept', $verdict, "line $line");
                } catch (PublishRefused) {
                    $this->assertNotSame('accept', $verdict, "line $line");
                }
                unlink("$folder/$name");
            }
        } finally {
            exec('rm -rf ' . escapeshellarg($folder));
        }
    }
}
