<?php

declare(strict_types=1);

// Staged rollouts: the schedule, the replies both ways and the router's
// choice between them, and the store's state as releases come and go.
final class RolloutTest extends StoreTestCase
{
    private function store(): ReleaseStore
    {
        return new ReleaseStore($this->store_root);
    }

    private function routed(string $version, mixed $group, int $now = 0): array
    {
        return find_reply($version, $this->store_root . '/replies', $group, $this->store()->rollout(), $now);
    }

    public function test_the_share_follows_the_schedule_and_a_halt_offers_nobody_new_until_resumed(): void
    {
        [$shares, $interval] = parse_schedule('1,5,20,50,100/6h');
        $this->assertSame([[1, 5, 20, 50, 100], 21600], [$shares, $interval]);
        $rollout = new Rollout(7, $shares, $interval, 1000);
        $hour = 3600;
        $this->assertSame([1, 1, 5, 20, 100, 100], array_map(fn($t) => $rollout->share(1000 + $t * $hour),
                                                              [0, 5, 6, 12, 24, 1000]));
        $this->assertSame(1000 + 6 * $hour, $rollout->next_step(1000));
        $this->assertNull($rollout->next_step(1000 + 24 * $hour));
        $this->assertTrue($rollout->includes(0, 1000));
        $this->assertFalse($rollout->includes(1, 1000));
        $this->assertTrue($rollout->includes(4, 1000 + 6 * $hour));
        $this->assertFalse($rollout->includes(99, 1000 + 23 * $hour));
        $this->assertTrue($rollout->includes(99, 1000 + 24 * $hour));

        // Halted 5 h into the first step for 10 h: nobody is in, and the
        // 6 h step comes 10 h late.
        $halted = $rollout->halted_at(1000 + 5 * $hour);
        $this->assertSame([0, 1], [$halted->share(1000 + 7 * $hour), $halted->scheduled_share(1000 + 7 * $hour)]);
        $this->assertFalse($halted->includes(0, 1000 + 7 * $hour));
        $this->assertNull($halted->next_step(1000 + 7 * $hour));
        $this->assertSame($halted, $halted->halted_at(1000 + 8 * $hour));
        $resumed = $halted->resumed_at(1000 + 15 * $hour);
        $this->assertSame([1, 5], [$resumed->share(1000 + 15 * $hour), $resumed->share(1000 + 16 * $hour)]);
        $this->assertEquals($resumed, Rollout::from_json($resumed->to_json()));
        $this->assertSame([1000, 1000 + 15 * $hour], [$rollout->watched_from(), $resumed->watched_from()]);

        // A new share starts from now and keeps a halt.
        $changed = $halted->rescheduled([30], 0, 9000);
        $this->assertSame([0, 30], [$changed->share(9000), $changed->scheduled_share(99999)]);

        // On the census page: the steps reached, each on its day (UTC), the
        // 12 h step 10 h late after the halt, the halt and the resume.
        $day = 1796774400; // 2026-12-09
        $marked = (new Rollout(7, $shares, $interval, $day + 3 * $hour))->halted_at($day + 8 * $hour)
            ->resumed_at($day + 18 * $hour);
        $this->assertSame([['day' => '2026-12-09', 'label' => '7: 1 %'], ['day' => '2026-12-09', 'label' => '7: 5 %'],
                           ['day' => '2026-12-10', 'label' => '7: 20 %'], ['day' => '2026-12-09', 'label' => '7 resumed']],
                          rollout_marks($marked, $day + 26 * $hour));
        $this->assertSame(['day' => '2026-12-09', 'label' => '7 halted'],
                          rollout_marks($marked->halted_at($day + 23 * $hour), $day + 26 * $hour)[3]);
        $this->assertSame(30, $changed->resumed_at(9500)->share(99999));

        $this->assertSame([[10], 0], parse_schedule('10%'));
        $this->assertSame([[10, 100], 60], parse_schedule('10%,100%/1m'));
        foreach (['', '10', '%', '101%', '-5%', '10,5/6h', '10,10/6h', '1,5,20', '10%/6h', '1,5/0h', '1,5/6x',
                  '1,,5/6h', ' 10%', '10% '] as $text) {
            if ($text === '10') {
                $this->assertSame([[10], 0], parse_schedule($text));
                continue;
            }
            try {
                parse_schedule($text);
                $this->fail("\"$text\" taken as a schedule");
            } catch (PublishRefused) {
            }
        }
        foreach (['', 'x', '[]', '{"version":7}', str_replace('[1,5', '[5,1', $rollout->to_json()),
                  str_replace('"interval":21600', '"interval":0', $rollout->to_json()),
                  str_replace('"halted":null', '"halted":"soon"', $rollout->to_json())] as $text) {
            $this->assertNull(Rollout::from_json($text), $text);
        }

        $this->assertSame([0, 42, 99, 99, 99, 99, 99, 99, 99], array_map('request_group',
            ['0', '42', '99', null, '100', '07', ' 4', '4x', ['4']]));
    }

    public function test_outside_the_rollout_a_client_gets_the_genuine_reply_as_if_the_release_were_not_out(): void
    {
        $this->publish(1, ['a.dll' => 'a1', 'b.dll' => 'b1']);
        $this->publish(2, ['a.dll' => 'a2']);
        $before = ['-1' => $this->reply('-1'), '1' => $this->reply('1'), '2' => $this->reply('2')];
        $now = time();
        $this->publisher()->publish(3, $this->release_folder(['b.dll' => 'b3']), [], new Rollout(3, [10], 0, $now));

        foreach (['-1', '1', '2'] as $version) {
            foreach (array_merge(range(0, 99), [null, 'junk']) as $group) {
                $reply = $this->routed($version, is_int($group) ? (string)$group : $group, $now);
                $in = is_int($group) && $group < 10;
                $this->assertSame($in ? 'in' : 'out', $reply['rollout']);
                $this->assertSame($in, str_contains($reply['body'], '/3/b.dll'), "$version, group $group");
                $this->assertSame([1, 1], [$this->release_verifies($version, $reply),
                                            $this->freshness_verifies($version, $reply)], "$version, group $group");
            }
            // Outside: the body that was signed before the release.
            $this->assertSame($before[$version]['body'], $this->routed($version, '50', $now)['body']);
        }
        // At and above the release there is one reply for everyone.
        $this->assertArrayNotHasKey('rollout', $this->routed('3', '0', $now));
        $this->assertSame('', $this->routed('3', '50', $now)['body']);

        // Halted: the groups that were in are out.
        change_rollout($this->store(), 3, fn(Rollout $r) => $r->halted_at($now));
        $this->assertSame('out', $this->routed('2', '0', $now)['rollout']);
        // A state that cannot be read offers the release to nobody new.
        file_put_contents(rollout_path($this->store_root), 'garbage');
        $this->assertSame('out', $this->routed('2', '0', $now)['rollout']);
    }

    public function test_held_replies_last_while_rolling_out_and_go_with_a_newer_release_or_at_everyone(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $now = time();
        $this->publisher()->publish(2, $this->release_folder(['a.dll' => 'a2']), [5],
                                    new Rollout(2, [10, 100], 3600, $now));
        $held = $this->store()->stored_replies(true);
        $this->assertSame([-1, 1], array_keys($held));
        $this->assertFileDoesNotExist($this->store_root . '/replies/held/5.reply');

        // A rebuild keeps them; a refresh renews them, with the rest.
        $this->publisher()->rebuild();
        $this->assertSame([-1, 1], array_keys($this->store()->stored_replies(true)));
        $this->assertSame(6, refresh_replies($this->store(), self::PRODUCT, $this->freshness_signer($now + 60), $now + 60));
        $renewed = $this->store()->stored_replies(true)[1];
        $this->assertSame($held[1]['body'], $renewed['body']);
        $this->assertNotSame($held[1]['freshness'], $renewed['freshness']);
        $this->assertSame(1, $this->freshness_verifies('1', $renewed));

        // At 100 % a refresh drops them, so that they expire rather than
        // hold clients back; the rollout is then over.
        $this->assertSame(4, refresh_replies($this->store(), self::PRODUCT, $this->freshness_signer(), $now + 3600));
        $this->assertSame([], $this->store()->stored_replies(true));
        $this->assertNull($this->store()->rollout());
        $this->assertStringContainsString('/2/a.dll', $this->routed('1', '99', $now)['body']);
        $this->expectException(PublishRefused::class);
        change_rollout($this->store(), 2, fn(Rollout $r) => $r->halted_at($now));
    }

    public function test_a_newer_release_ends_a_rollout_and_rolls_out_only_itself(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $now = time();
        $this->publisher()->publish(2, $this->release_folder(['a.dll' => 'a2']), [], new Rollout(2, [10], 0, $now));
        $this->publisher()->publish(3, $this->release_folder(['b.dll' => 'b3']), [], new Rollout(3, [10], 0, $now));
        $this->assertSame(3, $this->store()->rollout()->version);
        // Outside, version 2 is now offered to a client at 1, and 3 is not.
        $outside = $this->routed('1', '50', $now)['body'];
        $this->assertStringContainsString('/2/a.dll', $outside);
        $this->assertStringNotContainsString('/3/', $outside);
        $this->assertSame(-1, array_key_first($this->store()->stored_replies(true)));
        try {
            change_rollout($this->store(), 2, fn(Rollout $r) => $r->halted_at($now));
            $this->fail('a rollout changed that a newer release ended');
        } catch (PublishRefused) {
        }

        $this->publish(4, ['c.dll' => 'c4']);
        $this->assertNull($this->store()->rollout());
        $this->assertSame([], $this->store()->stored_replies(true));
        $this->assertFileDoesNotExist($this->store_root . '/replies/held');
        $this->assertStringContainsString('/4/c.dll', $this->routed('1', '50', $now)['body']);
    }
}
