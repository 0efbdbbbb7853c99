<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

final class CensusPageTest extends TestCase
{
    // Day one: 75 % at version 2, 25 % at 3; day two: all at 3; day three: 3
    // and a damaged installation and a malformed query.
    private const COUNTS = [
        '2026-12-06' => [2 => 300, 3 => 100],
        '2026-12-07' => [3 => 40],
        '2026-12-08' => [3 => 2, -1 => 1, CENSUS_OTHER => 1],
    ];

    public function test_each_day_is_a_full_bar_of_its_versions_shares_and_nothing_is_fetched(): void
    {
        $page = census_page(self::COUNTS, 3, [['day' => '2026-12-07', 'label' => '<10% & halt>'],
                                             ['day' => '2026-11-01', 'label' => 'before the logs']]);

        preg_match_all('~<rect x="([0-9.]+)" y="(\d+)" width="[0-9.]+" height="(\d+)" fill="(#[0-9a-f]{6})"><title>([^<]*)</title>~',
                       $page, $bars, PREG_SET_ORDER);
        $this->assertCount(6, $bars);
        $by_day = [];
        foreach ($bars as [, $x, $y, $height, $colour, $title]) {
            $by_day[substr($title, 0, 10)][] = [(int)$y, (int)$height, $colour, $title];
        }
        $plot_height = CENSUS_PLOT['bottom'] - CENSUS_PLOT['top'];
        foreach ($by_day as $day => $segments) {
            // Stacked from the plot's bottom to its top without gaps.
            $this->assertSame($plot_height, array_sum(array_column($segments, 1)), $day);
            $this->assertSame(CENSUS_PLOT['bottom'], $segments[0][0] + $segments[0][1], $day);
            for ($i = 1; $i < count($segments); $i++) {
                $this->assertSame($segments[$i - 1][0], $segments[$i][0] + $segments[$i][1], $day);
            }
        }
        // Newest at the bottom, in the same colour every day.
        $this->assertSame([70, 210], array_column($by_day['2026-12-06'], 1));
        $this->assertSame($by_day['2026-12-06'][0][2], $by_day['2026-12-07'][0][2]);
        $this->assertSame('2026-12-06: 2, 300 of 400 checks', $by_day['2026-12-06'][1][3]);
        $this->assertSame(['2026-12-08: 3, 2 of 4 checks', '2026-12-08: -1 (unread), 1 of 4 checks',
                           '2026-12-08: other, 1 of 4 checks'], array_column($by_day['2026-12-08'], 3));
        $this->assertSame(CENSUS_OTHER_COLOUR, $by_day['2026-12-08'][2][2]);

        // The mark on a day of the logs is drawn and its label escaped; one
        // on a day the logs do not hold is not drawn.
        $this->assertSame(1, substr_count($page, 'stroke="' . CENSUS_MARK_COLOUR . '"'));
        $this->assertStringContainsString('&lt;10% &amp; halt&gt;', $page);
        $this->assertStringNotContainsString('before the logs', $page);

        // The table below the chart holds what the text census holds.
        $this->assertStringContainsString('<tr><td>2026-12-06</td><td>400</td><td>25.0%</td><td>100</td><td>300</td>'
                                        . '<td>0</td><td>0</td></tr>', $page);
        // Self-contained: nothing to fetch, nothing to run.
        $this->assertDoesNotMatchRegularExpression('~<script|<link|<img|src=|href=|url\(|@import~i', $page);
        $this->assertSame(['http://www.w3.org/2000/svg'], array_values(array_unique(
            preg_match_all('~https?://[^"\s]*~', $page, $addresses) ? $addresses[0] : [])));
    }

    public function test_a_browser_draws_the_chart_as_the_shares_say(): void
    {
        $chromium = trim((string)shell_exec('command -v chromium'));
        if ($chromium === '') {
            $this->markTestSkipped('chromium is not installed (scripts/test installs it)');
        }
        $folder = sys_get_temp_dir() . '/update-census-page-' . bin2hex(random_bytes(6));
        mkdir($folder);
        try {
            file_put_contents("$folder/census.html", census_page(self::COUNTS, 3, [['day' => '2026-12-07', 'label' => 'halt']]));
            $pixels = self::screenshot($chromium, $folder, "$folder/census.html");
            $colours = census_colours(census_versions(self::COUNTS));

            // Each version's area in the picture is its share of the plot,
            // summed over the days; the legend's swatches add 144 pixels each.
            $plot_area = (CENSUS_PLOT['bottom'] - CENSUS_PLOT['top'])
                       * census_column(0, count(self::COUNTS))[1];
            $shares = [3 => 0.25 + 1.0 + 0.5, 2 => 0.75, -1 => 0.25];
            foreach ($shares as $version => $share) {
                $drawn = $pixels[$colours[$version]] ?? 0;
                $this->assertEqualsWithDelta($share * $plot_area + 144, $drawn, 0.03 * $plot_area,
                                             "version $version in {$colours[$version]}");
            }
            $this->assertGreaterThan(CENSUS_PLOT['bottom'] - CENSUS_PLOT['top'], $pixels[CENSUS_MARK_COLOUR] ?? 0);
        } finally {
            exec('rm -rf ' . escapeshellarg($folder));
        }
    }

    /**
     * Pixels per colour ('#rrggbb') of a headless browser's screenshot of
     * the page, read through ImageMagick as a binary PPM.
     * @return array<string, int>
     */
    private static function screenshot(string $chromium, string $folder, string $page): array
    {
        $command = sprintf('%s --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1 '
                         . '--user-data-dir=%s --window-size=1000,800 --screenshot=%s %s 2>&1',
                           escapeshellarg($chromium), escapeshellarg("$folder/profile"),
                           escapeshellarg("$folder/shot.png"), escapeshellarg('file://' . $page));
        exec("timeout 60 $command", $output, $status);
        self::assertSame(0, $status, implode("\n", $output));
        exec(sprintf('convert %s ppm:%s', escapeshellarg("$folder/shot.png"), escapeshellarg("$folder/shot.ppm")),
             $output, $status);
        self::assertSame(0, $status, implode("\n", $output));
        $ppm = (string)file_get_contents("$folder/shot.ppm");
        self::assertSame(1, preg_match('/\AP6\s+(\d+)\s+(\d+)\s+255\s/', $ppm, $head));
        $pixels = substr($ppm, strlen($head[0]));
        self::assertSame(3 * (int)$head[1] * (int)$head[2], strlen($pixels));
        $counts = [];
        foreach (str_split(bin2hex($pixels), 6) as $colour) {
            $counts["#$colour"] = ($counts["#$colour"] ?? 0) + 1;
        }
        return $counts;
    }
}
