<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// The rules the server shares with the program, against the vector files in
// tests/data that the program's unit tests read too.
final class SharedRulesTest extends TestCase
{
    /** @return list<list<string>> the lines of a vector file split at spaces, without comments */
    private static function vectors(string $name): array
    {
        $lines = [];
        foreach (file(__DIR__ . "/../../tests/data/$name", FILE_IGNORE_NEW_LINES) as $line) {
            $fields = preg_split('/\s+/', trim($line), -1, PREG_SPLIT_NO_EMPTY);
            if ($fields !== [] && $fields[0][0] !== '#') {
                $lines[] = $fields;
            }
        }
        return $lines;
    }

    public function test_a_rollout_has_the_program_s_groups_and_reads_each_as_the_program_sends_it(): void
    {
        $lines = self::vectors('rollout_groups.txt');
        [$word, $groups] = array_shift($lines);
        $this->assertSame(['groups', LAST_GROUP + 1], [$word, (int)$groups]);
        $this->assertSame(LAST_GROUP, request_group($groups));
        foreach ($lines as [, , , $group]) {
            $this->assertSame((int)$group, request_group($group));
        }
    }

    public function test_publishing_judges_windows_images_as_the_program_does(): void
    {
        $path = tempnam(sys_get_temp_dir(), 'pe-');
        try {
            foreach (self::vectors('pe_images.txt') as $line) {
                [$size, $magic, $offset, $pe_at, $verdict] = $line;
                $bytes = substr($magic . str_repeat("\x90", (int)$size), 0, (int)$size);
                $field = substr(pack('V', (int)$offset), 0, max(0, (int)$size - 0x3c));
                $bytes = substr_replace($bytes, $field, 0x3c, strlen($field));
                if ($pe_at !== 'none' && (int)$pe_at + 4 <= (int)$size) {
                    $bytes = substr_replace($bytes, "PE\0\0", (int)$pe_at, 4);
                }
                file_put_contents($path, $bytes);
                $this->assertSame($verdict === 'yes', is_pe_file($path), implode(' ', $line));
            }
        } finally {
            unlink($path);
        }
    }

    public function test_the_server_looks_up_exactly_the_versions_the_program_writes(): void
    {
        foreach (self::vectors('version_texts.txt') as [$text, $verdict]) {
            $this->assertSame($verdict === 'yes', is_canonical_version($text), $text);
        }
    }
}
