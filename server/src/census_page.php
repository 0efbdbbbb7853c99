<?php

declare(strict_types=1);

require_once __DIR__ . '/census.php';

// The census as one self-contained page for the vendor: the share of checks
// per version day by day as a stacked bar chart drawn here as SVG, with the
// table below it. Nothing is fetched from anywhere (no script, no font), so
// the page can be mailed or opened from a disk as it is.

const CENSUS_PAGE_WIDTH = 960;
const CENSUS_PAGE_HEIGHT = 360;
const CENSUS_PLOT = ['left' => 60, 'top' => 20, 'right' => 800, 'bottom' => 300];
// Newest first; versions beyond the palette reuse it from the start.
const CENSUS_COLOURS = ['#1f77b4', '#ff7f0e', '#2ca02c', '#9467bd', '#8c564b',
                        '#e377c2', '#17becf', '#bcbd22', '#7f7f7f', '#393b79'];
const CENSUS_OTHER_COLOUR = '#c7c7c7';
const CENSUS_MARK_COLOUR = '#d62728';

/**
 * The colour each version is drawn in, by version.
 * @param list<int|string> $versions newest first, as census_versions gives them
 * @return array<int|string, string>
 */
function census_colours(array $versions): array
{
    $colours = [];
    foreach ($versions as $index => $version) {
        $colours[$version] = $version === CENSUS_OTHER
            ? CENSUS_OTHER_COLOUR : CENSUS_COLOURS[$index % count(CENSUS_COLOURS)];
    }
    return $colours;
}

/**
 * The page: chart, legend and table.
 * @param array<string, array<int|string, int>> $counts day => version => checks
 * @param list<array{day: string, label: string}> $marks events to mark on the
 *        chart (a rollout's steps, a halt), on the day they happened
 */
function census_page(array $counts, ?int $newest, array $marks): string
{
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         . "<title>Checks per version</title>\n<style>\n"
         . "body { font-family: sans-serif; margin: 24px; color: #222; }\n"
         . "table { border-collapse: collapse; margin-top: 16px; }\n"
         . "th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: right; }\n"
         . "th:first-child, td:first-child { text-align: left; }\n"
         . "</style>\n</head>\n<body>\n<h1>Checks per version, day by day</h1>\n"
         . census_chart($counts, $marks) . census_html_table(census_rows($counts, $newest))
         . "</body>\n</html>\n";
}

/**
 * @param array<string, array<int|string, int>> $counts
 * @param list<array{day: string, label: string}> $marks
 */
function census_chart(array $counts, array $marks): string
{
    $versions = census_versions($counts);
    $colours = census_colours($versions);
    $svg = sprintf('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" shape-rendering="crispEdges" '
                 . 'font-size="12" role="img" aria-label="Share of checks per version">' . "\n",
                   CENSUS_PAGE_WIDTH, CENSUS_PAGE_HEIGHT);
    $svg .= census_axes();
    $days = array_keys($counts);
    foreach ($days as $index => $day) {
        $svg .= census_day_column($index, count($days), (string)$day, $counts[$day], $versions, $colours);
    }
    foreach ($marks as $mark) {
        $index = array_search($mark['day'], array_map('strval', $days), true);
        if ($index !== false) {
            $svg .= census_mark($index, count($days), $mark['label']);
        }
    }
    return $svg . census_legend($versions, $colours) . "</svg>\n";
}

function census_axes(): string
{
    $plot = CENSUS_PLOT;
    $svg = '';
    foreach ([0, 25, 50, 75, 100] as $percent) {
        $y = $plot['bottom'] - ($plot['bottom'] - $plot['top']) * $percent / 100;
        $svg .= sprintf('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#e0e0e0"/>'
                      . '<text x="%d" y="%.1f" text-anchor="end" dominant-baseline="middle">%d %%</text>' . "\n",
                        $plot['left'], $y, $plot['right'], $y, $plot['left'] - 6, $y, $percent);
    }
    return $svg;
}

/**
 * One day's bar: the versions' shares stacked, newest at the bottom, each
 * boundary rounded once so the segments fill the bar exactly.
 * @param array<int|string, int> $by_version
 * @param list<int|string> $versions
 * @param array<int|string, string> $colours
 */
function census_day_column(int $index, int $day_count, string $day, array $by_version,
                           array $versions, array $colours): string
{
    [$x, $width] = census_column($index, $day_count);
    $plot = CENSUS_PLOT;
    $total = array_sum($by_version);
    $height = $plot['bottom'] - $plot['top'];
    $svg = '';
    $below = 0;
    $bottom = $plot['bottom'];
    foreach ($versions as $version) {
        $checks = $by_version[$version] ?? 0;
        if ($checks === 0) {
            continue;
        }
        $below += $checks;
        $top = $plot['bottom'] - (int)round($height * $below / $total);
        $svg .= sprintf('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s"><title>%s: %s, %d of %d checks</title></rect>' . "\n",
                        $x, $top, $width, $bottom - $top, $colours[$version],
                        htmlspecialchars($day), htmlspecialchars(census_version_name($version)), $checks, $total);
        $bottom = $top;
    }
    if ($index % max(1, (int)ceil($day_count / 10)) === 0) {
        $svg .= sprintf('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' . "\n",
                        $x + $width / 2, $plot['bottom'] + 18, htmlspecialchars($day));
    }
    return $svg;
}

/** A vertical line through a day's bar, labelled above the plot. */
function census_mark(int $index, int $day_count, string $label): string
{
    [$x, $width] = census_column($index, $day_count);
    $middle = $x + $width / 2;
    $plot = CENSUS_PLOT;
    return sprintf('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="3"/>'
                 . '<text x="%.1f" y="%d" text-anchor="middle" fill="%s">%s</text>' . "\n",
                   $middle, $plot['top'], $middle, $plot['bottom'], CENSUS_MARK_COLOUR,
                   $middle, $plot['bottom'] + 36, CENSUS_MARK_COLOUR, htmlspecialchars($label));
}

/**
 * The left edge and width of a day's bar: a column a day, the bar filling
 * four fifths of it.
 * @return array{float, float}
 */
function census_column(int $index, int $day_count): array
{
    $plot = CENSUS_PLOT;
    $column = ($plot['right'] - $plot['left']) / max(1, $day_count);
    return [$plot['left'] + $column * ($index + 0.1), $column * 0.8];
}

/**
 * @param list<int|string> $versions
 * @param array<int|string, string> $colours
 */
function census_legend(array $versions, array $colours): string
{
    $svg = '';
    foreach ($versions as $row => $version) {
        $y = CENSUS_PLOT['top'] + 20 * $row;
        $svg .= sprintf('<rect x="%d" y="%d" width="12" height="12" fill="%s"/>'
                      . '<text x="%d" y="%d" dominant-baseline="middle">%s</text>' . "\n",
                        CENSUS_PLOT['right'] + 20, $y, $colours[$version],
                        CENSUS_PLOT['right'] + 38, $y + 6, htmlspecialchars(census_version_name($version)));
    }
    return $svg;
}

/** @param list<list<string>> $rows heading row first */
function census_html_table(array $rows): string
{
    $html = "<table>\n";
    foreach ($rows as $number => $row) {
        $cell = $number === 0 ? 'th' : 'td';
        $html .= '<tr>' . implode('', array_map(fn($text) => "<$cell>" . htmlspecialchars($text) . "</$cell>", $row))
               . "</tr>\n";
    }
    return $html . "</table>\n";
}
