<?php

declare(strict_types=1);

require_once __DIR__ . '/census.php';
require_once __DIR__ . '/rollout.php';

// The census as one self-contained page: a chart of the share of checks per
// version, day by day, drawn here as SVG, with the steps and any halt of the
// rollout in progress marked on it, and the census table below. Nothing is
// fetched from anywhere: no script, font, style sheet or image.

const CHART_WIDTH = 760;
const CHART_HEIGHT = 320;
const CHART_LEFT = 50;
const CHART_TOP = 20;
const CHART_PLOT_WIDTH = 690;
const CHART_PLOT_HEIGHT = 240;
// Newest version first; versions past the palette share its last colour.
const CHART_COLOURS = ['#1b9e77', '#d95f02', '#7570b3', '#e7298a', '#66a61e', '#e6ab02', '#a6761d', '#999999'];
const CHART_STEP_COLOUR = '#1f4e9c';
const CHART_HALT_COLOUR = '#e41a1c';

/** @param array<string, array<int|string, int>> $counts */
function census_page(array $counts, ?int $newest, ?Rollout $rollout, int $now): string
{
    $rows = census_rows($counts, $newest);
    $table = '';
    foreach ($rows as $index => $row) {
        $cell = $index === 0 ? 'th' : 'td';
        $table .= '<tr>' . implode('', array_map(fn($text) => "<$cell>" . htmlspecialchars($text) . "</$cell>", $row))
                . "</tr>\n";
    }
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Census</title>\n"
         . "<style>body{font-family:sans-serif;margin:20px}table{border-collapse:collapse}"
         . "td,th{border:1px solid #ccc;padding:2px 8px;text-align:right}</style></head>\n<body>\n"
         . "<h1>Checks by version, day by day</h1>\n" . census_chart($counts, $rollout, $now)
         . "\n<table>\n$table</table>\n</body></html>\n";
}

/** @param array<string, array<int|string, int>> $counts */
function census_chart(array $counts, ?Rollout $rollout, int $now): string
{
    $days = array_keys($counts);
    $versions = census_versions($counts);
    $slot = CHART_PLOT_WIDTH / max(1, count($days));
    $bottom = CHART_TOP + CHART_PLOT_HEIGHT;
    $svg = sprintf('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %1$d %2$d">',
                   CHART_WIDTH, CHART_HEIGHT) . "\n";
    foreach ([0, 50, 100] as $percent) {
        $y = $bottom - CHART_PLOT_HEIGHT * $percent / 100;
        $svg .= sprintf('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ccc"/><text x="%d" y="%.1f" font-size="11"'
                        . ' text-anchor="end">%d %%</text>', CHART_LEFT, $y, CHART_LEFT + CHART_PLOT_WIDTH, $y,
                        CHART_LEFT - 4, $y + 4, $percent) . "\n";
    }
    foreach ($days as $index => $day) {
        $total = array_sum($counts[$day]);
        $y = $bottom;
        // The oldest at the bottom, so that the newest grows from the top.
        foreach (array_reverse($versions, true) as $rank => $version) {
            $height = CHART_PLOT_HEIGHT * ($counts[$day][$version] ?? 0) / $total;
            if ($height === 0.0 || $height === 0) {
                continue;
            }
            $y -= $height;
            $svg .= sprintf('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s"/>',
                            CHART_LEFT + $index * $slot + $slot * 0.1, $y, $slot * 0.8, $height, chart_colour($rank));
        }
        $svg .= sprintf('<text x="%.1f" y="%d" font-size="11" text-anchor="middle">%s</text>',
                        CHART_LEFT + ($index + 0.5) * $slot, $bottom + 14, $day) . "\n";
    }
    foreach ($rollout === null ? [] : rollout_marks($rollout, $now) as [$time, $label, $colour]) {
        $index = array_search(gmdate('Y-m-d', $time), $days, true);
        if ($index !== false) {
            $x = CHART_LEFT + ($index + ($time % 86400) / 86400) * $slot;
            $svg .= sprintf('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="3"/>'
                            . '<text x="%.1f" y="%d" font-size="11" fill="%s">%s</text>',
                            $x, CHART_TOP, $x, $bottom, $colour, $x + 3, CHART_TOP + 10, $colour,
                            htmlspecialchars($label)) . "\n";
        }
    }
    foreach ($versions as $rank => $version) {
        $x = CHART_LEFT + $rank * 80;
        $svg .= sprintf('<rect x="%d" y="%d" width="10" height="10" fill="%s"/><text x="%d" y="%d" font-size="11">%s</text>',
                        $x, $bottom + 24, chart_colour($rank), $x + 14, $bottom + 33,
                        htmlspecialchars($version === -1 ? '-1 (unread)' : (string)$version)) . "\n";
    }
    return $svg . '</svg>';
}

function chart_colour(int $rank): string
{
    return CHART_COLOURS[min($rank, count(CHART_COLOURS) - 1)];
}

/**
 * The rollout's steps reached by $now, its last resume and any halt: time, label, colour.
 * @return list<array{int, string, string}>
 */
function rollout_marks(Rollout $rollout, int $now): array
{
    $marks = [];
    foreach ($rollout->shares as $step => $share) {
        $time = $rollout->started + $step * $rollout->interval;
        // A step after the last halt came that much later.
        if ($rollout->resumed !== null && $time > $rollout->resumed - $rollout->paused) {
            $time += $rollout->paused;
        }
        if ($time <= min($now, $rollout->halted ?? $now)) {
            $marks[] = [$time, "$share %", CHART_STEP_COLOUR];
        }
    }
    if ($rollout->resumed !== null) {
        $marks[] = [$rollout->resumed, 'resumed', CHART_STEP_COLOUR];
    }
    if ($rollout->halted !== null) {
        $marks[] = [$rollout->halted, 'halt', CHART_HALT_COLOUR];
    }
    return $marks;
}
