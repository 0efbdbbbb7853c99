<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// publish census --html: the page on its own, and as Debian's headless
// Chromium draws it.
final class CensusPageTest extends TestCase
{
    private const DAY = 1796774400; // 2026-12-09 00:00:00 UTC

    private string $folder;

    protected function setUp(): void
    {
        $this->folder = sys_get_temp_dir() . '/census-page-test-' . bin2hex(random_bytes(6));
        mkdir($this->folder);
    }

    protected function tearDown(): void
    {
        exec('rm -rf ' . escapeshellarg($this->folder));
    }

    private static function page(?Rollout $rollout): string
    {
        $counts = ['2026-12-08' => [4 => 90, 3 => 10], '2026-12-09' => [5 => 20, 4 => 75, -1 => 5],
                   '2026-12-10' => [5 => 60, 4 => 40]];
        return census_page($counts, 5, $rollout, self::DAY + 2 * 86400);
    }

    public function test_the_page_draws_each_version_s_share_and_the_rollout_s_steps_and_halt_and_fetches_nothing(): void
    {
        // 10 % at 06:00 on the 9th, 50 % six hours on, halted at 15:00.
        $rollout = (new Rollout(5, [10, 50, 100], 6 * 3600, self::DAY + 6 * 3600))->halted_at(self::DAY + 15 * 3600);
        $page = self::page($rollout);

        $this->assertDoesNotMatchRegularExpression('~<script|<link|<img|@import|url\(|href=|src=~i', $page);
        // A bar piece per version and day, shares in proportion.
        $this->assertSame(7 + 4, substr_count($page, '<rect '));
        $this->assertStringContainsString(sprintf('height="%.1f" fill="%s"', 240 * 0.6, CHART_COLOURS[0]), $page);
        $this->assertStringContainsString(sprintf('height="%.1f" fill="%s"', 240 * 0.05, CHART_COLOURS[3]), $page);
        // The steps reached before the halt, where they fall in their day.
        $slot = 690 / 3;
        foreach ([['10 %', 6], ['50 %', 12], ['halt', 15]] as [$label, $hour]) {
            $this->assertMatchesRegularExpression(sprintf('~<line x1="%.1f"[^>]*/><text[^>]*>%s</text>~',
                                                          50 + (1 + $hour / 24) * $slot, $label), $page);
        }
        $this->assertStringNotContainsString('fill="' . CHART_STEP_COLOUR . '">100 %<', $page);
        $this->assertStringContainsString('<tr><td>2026-12-09</td><td>100</td><td>20.0%</td><td>20</td><td>75</td>'
                                          . '<td>0</td><td>5</td></tr>', $page);
        $this->assertStringNotContainsString('halt', self::page(null));
    }

    public function test_headless_chromium_draws_the_chart(): void
    {
        $page = $this->folder . '/census.html';
        file_put_contents($page, self::page((new Rollout(5, [10], 0, self::DAY + 6 * 3600))->halted_at(self::DAY + 9 * 3600)));
        $shot = $this->folder . '/census.png';
        exec('timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=800,700'
             . ' --user-data-dir=' . escapeshellarg($this->folder . '/profile')
             . ' --screenshot=' . escapeshellarg($shot) . ' ' . escapeshellarg('file://' . $page) . ' 2>/dev/null');
        $this->assertFileExists($shot);
        $histogram = shell_exec('convert ' . escapeshellarg($shot) . ' -format %c histogram:info:-');
        $pixels = [];
        preg_match_all('/^\s*(\d+):.*(#[0-9A-F]{6})/m', (string)$histogram, $matches, PREG_SET_ORDER);
        foreach ($matches as [, $count, $colour]) {
            $pixels[strtolower($colour)] = ($pixels[strtolower($colour)] ?? 0) + (int)$count;
        }
        // Version 5 is 0 %, 20 % and 60 % of three bars 184 px wide and 240 px high.
        $this->assertGreaterThan(0.9 * 184 * 240 * 0.8, $pixels[CHART_COLOURS[0]] ?? 0);
        $this->assertGreaterThan(0.9 * 184 * 240 * 1.45, $pixels[CHART_COLOURS[1]] ?? 0);
        // The halt's line, at least one pixel wide all the way up.
        $this->assertGreaterThan(240, $pixels[CHART_HALT_COLOUR] ?? 0);
    }
}
