<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// The server keeps no patch the program would refuse to fetch: its bound is
// the program's own, read here from the program's source.
final class PatchLimitTest extends TestCase
{
    private const PROGRAM_SOURCE = __DIR__ . '/../../update/patch_fetch.h';

    public function testTheServersPatchBoundIsTheProgramsLargestPatch(): void
    {
        $source = file_get_contents(self::PROGRAM_SOURCE);
        $found = preg_match('/\blargest_patch_size = ([0-9 *]+);/', $source, $match);
        $this->assertSame(1, $found, 'the program names its largest patch');
        $program_bound = array_product(array_map('intval', explode('*', $match[1])));
        $this->assertSame($program_bound, PATCH_SIZE_LIMIT);
    }
}
