<?php

declare(strict_types=1);

// The freshness part of the stored replies: renewed on its own, for the
// validity asked, over exactly the bytes the release key signed.
final class FreshnessTest extends StoreTestCase
{
    private function refresh(FreshnessSigner $signer): int
    {
        return refresh_replies(new ReleaseStore($this->store_root), self::PRODUCT, $signer, time());
    }

    private function expiry(string $version): string
    {
        return explode(' ', $this->reply($version)['freshness'])[0];
    }

    public function test_a_refresh_with_a_short_validity_leaves_every_reply_past_its_expiry_soon_after(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2'], [1]);
        $now = time();
        $this->assertGreaterThan(utc_stamp($now + 6 * 86400), $this->expiry('1'));

        $this->assertSame(3, $this->refresh($this->freshness_signer($now, parse_validity('30s'))));

        foreach (['-1', '1', '2'] as $version) {
            $this->assertSame(utc_stamp($now + 30), $this->expiry($version), $version);
            $this->assertLessThan(utc_stamp($now + 31), $this->expiry($version), 'past its expiry 31 s on');
            $this->assertSame(1, $this->freshness_verifies($version, $this->reply($version)), $version);
            $this->assertSame(1, $this->release_verifies($version, $this->reply($version)), $version);
        }
        // A later refresh brings them back.
        $this->refresh($this->freshness_signer($now + 3600));
        $this->assertSame(utc_stamp($now + 3600 + self::VALIDITY), $this->expiry('1'));
    }

    public function test_stamps_compare_as_the_times_they_name(): void
    {
        $this->assertSame('20261209T053000Z', utc_stamp(gmmktime(5, 30, 0, 12, 9, 2026)));
        $this->assertSame('19700101T000000Z', utc_stamp(0));
        $times = [0, 59, 60, 3599, 86399, 86400 * 31, 951782400, 2000000000];
        $stamps = array_map('utc_stamp', $times);
        $sorted = $stamps;
        sort($sorted, SORT_STRING);
        $this->assertSame($stamps, $sorted);
    }

    public function test_a_store_of_replies_in_another_form_is_refused_and_left_alone(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        // The one-key form: signature, line feed, body.
        $reply = $this->reply('1');
        file_put_contents($this->store_root . '/replies/1.reply', $reply['signature'] . "\n" . $reply['body']);
        $before = $this->store_contents();

        try {
            $this->refresh($this->freshness_signer());
            $this->fail('refreshed');
        } catch (RuntimeException $error) {
            $this->assertStringContainsString('rebuild', $error->getMessage());
        }
        $this->assertSame($before, $this->store_contents());
        $this->assertSame(['body' => '', 'signature' => null, 'freshness' => null], $this->reply('1'),
                          'the router does not serve it either');
    }

    public function test_validity_and_product_settings(): void
    {
        $this->assertSame([45, 1800, 7200, 604800], array_map('parse_validity', ['45s', '30m', '2h', '7d']));
        foreach (['', '7', '0d', '-1d', '7 d', '7D', '1w', '07d', '1.5d', '9999999d'] as $text) {
            try {
                parse_validity($text);
                $this->fail("\"$text\" was taken");
            } catch (RuntimeException) {
            }
        }
        $config = $this->folder . '/config.ini';
        putenv("UPDATE_SERVER_CONFIG=$config");
        try {
            file_put_contents($config, "base_url = https://updates.example.com:8443/files\n");
            $this->assertSame(['updates.example.com', 604800], [Config::load()->product, Config::load()->freshness_validity]);
            file_put_contents($config, "product = menu_pro-2.x\nfreshness_validity = 12h\n");
            $this->assertSame(['menu_pro-2.x', 43200], [Config::load()->product, Config::load()->freshness_validity]);
            foreach (["product = \"a b\"\n", "product = \"a\\nb\"\n", "product = \n", "freshness_validity = soon\n"] as $bad) {
                file_put_contents($config, $bad);
                try {
                    Config::load();
                    $this->fail("$bad was taken");
                } catch (RuntimeException) {
                }
            }
        } finally {
            putenv('UPDATE_SERVER_CONFIG');
        }
    }
}
