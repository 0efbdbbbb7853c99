<?php

declare(strict_types=1);

// What a push writes to the bucket, and in what order.
final class BucketTest extends StoreTestCase
{
    private function plan(array $in_bucket = []): array
    {
        return push_plan(new ReleaseStore($this->store_root), $in_bucket, self::VALIDITY, time());
    }

    private static function keys(array $objects): array
    {
        return array_column($objects, 'key');
    }

    /** The bucket's listing of these objects, as it would answer after writing them. */
    private static function listed(array $objects): array
    {
        $listed = [];
        foreach ($objects as $object) {
            $listed[$object['key']] = ['size' => $object['size'], 'etag' => '"' . $object['md5'] . '"'];
        }
        return $listed;
    }

    public function test_files_and_patches_go_before_every_reply_and_each_reply_is_named_by_its_version(): void
    {
        $this->publish(1, ['a.dll' => str_repeat('a', 4000), 'b.txt' => 'b1']);
        $this->publish(2, ['a.dll' => str_repeat('a', 3999) . 'b'], [1]);
        $plan = $this->plan();

        $files = ['files/1/a.dll', 'files/1/b.txt', 'files/1/wersja.txt', 'files/2/a.dll', 'files/2/wersja.txt'];
        if (PatchMaker::find() !== null) {
            $files[] = 'files/patches/2/1/a.dll';
        }
        if (Compressor::find() !== null) {
            array_push($files, 'files/xz/1/a.dll.xz', 'files/xz/2/a.dll.xz');
        }
        sort($files);
        $this->assertSame(array_merge($files, ['replies/-1', 'replies/1', 'replies/2', 'replies/none']), self::keys($plan));
        foreach ($plan as $object) {
            if (str_starts_with($object['key'], 'files/')) {
                $path = $this->store_root . '/' . $object['key'];
                $this->assertSame([$path, filesize($path), md5_file($path), 'application/octet-stream', null, []],
                                  [$object['path'], $object['size'], $object['md5'], $object['content_type'],
                                   $object['cache_control'], $object['metadata']]);
            }
        }
        // A reply object is the body alone, its signatures as metadata; the
        // edge gives them back as the two headers.
        [$reply_1] = array_values(array_filter($plan, fn($object) => $object['key'] === 'replies/1'));
        $stored = $this->reply('1');
        $this->assertSame([null, $stored['body'], strlen($stored['body']), md5($stored['body']),
                           'text/plain; charset=windows-1250', 'max-age=60',
                           ['update-signature' => $stored['signature'], 'update-freshness' => $stored['freshness']]],
                          [$reply_1['path'], $reply_1['body'], $reply_1['size'], $reply_1['md5'], $reply_1['content_type'],
                           $reply_1['cache_control'], $reply_1['metadata']]);
        $none = end($plan);
        $this->assertSame(['', [], 'max-age=60'], [$none['body'], $none['metadata'], $none['cache_control']]);
        // The edge is asked for every file and patch a reply names, once.
        $named = named_files(array_slice($plan, -4), self::BASE_URL, new ReleaseStore($this->store_root));
        $this->assertSame(array_values(array_diff($files, ['files/1/a.dll', 'files/1/wersja.txt', 'files/xz/1/a.dll.xz'])), array_keys($named));
        $this->assertSame($this->store_root . '/files/2/a.dll', $named['files/2/a.dll']);
    }

    public function test_a_push_writes_the_files_the_bucket_lacks_or_holds_otherwise_and_every_reply(): void
    {
        $this->publish(1, ['a.dll' => 'a1', 'b.dll' => 'b1']);
        $first = $this->plan();
        $in_bucket = self::listed($first);
        $this->publish(2, ['b.dll' => 'b2']);

        $this->assertSame(['files/2/b.dll', 'files/2/wersja.txt', 'replies/-1', 'replies/1', 'replies/2', 'replies/none'],
                          self::keys($this->plan($in_bucket)));
        // Nothing new: the replies alone (a refresh renews all of them).
        $in_bucket += self::listed($this->plan($in_bucket));
        $this->assertSame(['replies/-1', 'replies/1', 'replies/2', 'replies/none'], self::keys($this->plan($in_bucket)));
        // An object of another size, or of the same size and another MD5, is written again.
        $in_bucket['files/1/a.dll']['size'] = 3;
        $in_bucket['files/1/b.dll']['etag'] = '"' . md5('b9') . '"';
        $this->assertSame(['files/1/a.dll', 'files/1/b.dll'], array_slice(self::keys($this->plan($in_bucket)), 0, 2));
        // The bucket's other objects are neither written nor removed.
        $this->assertSame(self::keys($this->plan($in_bucket)), self::keys($this->plan($in_bucket + ['files/9/x' => ['size' => 1, 'etag' => '""']])));
    }

    public function test_a_cache_keeps_a_reply_a_minute_at_most_and_a_tenth_of_its_validity_at_most(): void
    {
        $this->assertSame('max-age=60', reply_cache_control(7 * 86400));
        $this->assertSame('max-age=60', reply_cache_control(600));
        $this->assertSame('max-age=30', reply_cache_control(300));
        $this->assertSame('max-age=0', reply_cache_control(5));
    }

    public function test_the_configuration_names_both_endpoint_and_bucket_or_neither(): void
    {
        $config = $this->folder . '/config.ini';
        putenv("UPDATE_SERVER_CONFIG=$config");
        try {
            file_put_contents($config, "store = s\n");
            $this->assertNull(Config::load()->bucket);
            file_put_contents($config, "store = s\nbucket_endpoint = http://127.0.0.1:8080/\nbucket = updates\n");
            $bucket = Config::load()->bucket;
            $this->assertSame(['http://127.0.0.1:8080', 'updates'], [$bucket->endpoint, $bucket->name]);
            foreach (["bucket = updates\n", "bucket_endpoint = https://s3.example\n",
                      "bucket_endpoint = s3.example\nbucket = updates\n",
                      "bucket_endpoint = https://s3.example/path\nbucket = updates\n",
                      "bucket_endpoint = https://s3.example\nbucket = Up_dates\n"] as $settings) {
                file_put_contents($config, "store = s\n$settings");
                try {
                    Config::load();
                    $this->fail("accepted: $settings");
                } catch (RuntimeException $refusal) {
                    $this->assertStringContainsString('bucket', $refusal->getMessage());
                }
            }
        } finally {
            putenv('UPDATE_SERVER_CONFIG');
        }
    }

    public function test_while_a_release_rolls_out_each_version_below_it_is_a_share_between_two_signed_variants(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2']);
        $before = self::bodies($this->plan());
        $now = time();
        $this->publisher()->publish(3, $this->release_folder(['a.dll' => 'a3']), [], new Rollout(3, [10, 100], 3600, $now));
        $plan = $this->plan();

        $variants = ['replies/-1/in', 'replies/-1/out', 'replies/1/in', 'replies/1/out', 'replies/2/in', 'replies/2/out'];
        $this->assertSame(array_merge($variants, ['replies/-1', 'replies/1', 'replies/2', 'replies/3', 'replies/none']),
                          array_slice(self::keys($plan), -11));
        $bodies = self::bodies($plan);
        $stored = (new ReleaseStore($this->store_root))->stored_replies();
        foreach (['-1', '1', '2'] as $version) {
            $this->assertSame([$before["replies/$version"], $stored[(int)$version]['body'], ''],
                              [$bodies["replies/$version/out"], $bodies["replies/$version/in"], $bodies["replies/$version"]]);
        }
        $this->assertStringContainsString('/3/a.dll', $bodies['replies/1/in']);
        $shares = fn(array $objects) => array_column(array_column(share_objects($objects, self::listed($objects)), 'metadata'),
                                                     'update-share');
        $this->assertSame(['10', '10', '10'], $shares($plan));
        // Halted, no one new; the next step is pushed with the share it reaches.
        (new ReleaseStore($this->store_root))->save_rollout((new Rollout(3, [10, 100], 3600, $now))->halted_at($now));
        $this->assertSame(['0', '0', '0'], $shares($this->plan()));
        (new ReleaseStore($this->store_root))->save_rollout(new Rollout(3, [10, 100], 3600, $now));
        $this->assertSame(['100', '100', '100'], $shares(push_plan(new ReleaseStore($this->store_root), [], self::VALIDITY, $now + 3600)));
        // Only a version whose variants are in the bucket gets its share.
        $listed = self::listed($plan);
        unset($listed['replies/1/out']);
        $this->assertSame(['replies/-1', 'replies/2'], self::keys(share_objects($plan, $listed)));
    }

    /** @return array<string, string> each reply object's body, by key */
    private static function bodies(array $objects): array
    {
        $bodies = [];
        foreach ($objects as $object) {
            if (str_starts_with($object['key'], 'replies/')) {
                $bodies[$object['key']] = $object['body'];
            }
        }
        return $bodies;
    }
}
