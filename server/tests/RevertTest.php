<?php

declare(strict_types=1);

final class RevertTest extends StoreTestCase
{
    private function line(int $version, string $name, string $data): array
    {
        return [self::BASE_URL . "/$version/$name", (string)strlen($data), hash('sha256', $data)];
    }

    private function revert(int $version, int $good): array
    {
        return publish_revert($this->publisher(), new ReleaseStore($this->store_root), $version, $good);
    }

    public function test_every_client_moves_up_onto_the_good_version_s_content(): void
    {
        $this->publish(1, ['core.dll' => 'core 1', 'menu.exe' => 'menu 1', 'help.txt' => 'help 1']);
        $this->publish(2, ['core.dll' => 'core 2', 'help.txt' => 'help 2']);
        $this->publish(3, ['Core.DLL' => 'core 3 bad', 'new.dll' => 'new in 3']);

        [$offers, $kept] = $this->revert(4, 2);

        // A client at the bad version gets 2's form of what 3 changed, under the
        // name 2 had; the file 3 added stays, nothing removes it.
        $this->assertSame([$this->line(4, 'core.dll', 'core 2'), $this->line(4, 'wersja.txt', '4')],
                          $this->offer_lines('3'));
        $this->assertSame(['new.dll'], $kept);
        $this->assertSame(array_map(fn($line) => $line[0], $this->offer_lines('3')),
                          array_map(fn($file) => self::BASE_URL . "/{$file['version']}/{$file['name']}", $offers[3]));
        $this->assertSame([$this->line(4, 'core.dll', 'core 2'), $this->line(2, 'help.txt', 'help 2'),
                           $this->line(3, 'new.dll', 'new in 3'), $this->line(4, 'wersja.txt', '4')],
                          $this->offer_lines('1'));
        $this->assertSame([], $this->offer_lines('4'));
        $this->assertSame(['core.dll', 'wersja.txt'], array_values(array_diff(scandir($this->store_root . '/files/4'), ['.', '..'])));

        // Back to 1 after that: everything changed since, as 1 had it.
        [, $kept] = $this->revert(5, 1);
        $this->assertSame([$this->line(5, 'core.dll', 'core 1'), $this->line(5, 'help.txt', 'help 1'),
                           $this->line(5, 'wersja.txt', '5')], $this->offer_lines('4'));
        $this->assertSame(['new.dll'], $kept);
        $reply = $this->reply('3');
        $this->assertSame([1, 1], [$this->release_verifies('3', $reply), $this->freshness_verifies('3', $reply)]);
    }

    public function test_a_revert_that_cannot_be_is_refused_and_changes_nothing(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['b.dll' => 'b2']);
        $before = $this->store_contents();
        foreach ([[3, 7], [3, 0], [2, 1], [3, 2]] as [$version, $good]) {
            try {
                $this->revert($version, $good);
                $this->fail("revert $version to $good was not refused");
            } catch (PublishRefused) {
            }
        }
        $this->assertSame($before, $this->store_contents());
    }

    public function test_a_revert_to_a_file_under_the_installation_s_own_name_is_refused_by_name(): void
    {
        $this->publish(1, ['a.dll' => 'a1']);
        $this->publish(2, ['a.dll' => 'a2']);
        // Stored before publishing refused the name.
        file_put_contents($this->store_root . '/files/1/_Update.lock', 'l1');
        file_put_contents($this->store_root . '/files/2/_Update.lock', 'l2');
        $before = $this->store_contents();

        try {
            $this->revert(3, 1);
            $this->fail('reverted');
        } catch (PublishRefused $refusal) {
            $this->assertStringContainsString('"_Update.lock"', $refusal->getMessage());
        }
        $this->assertSame($before, $this->store_contents());
    }
}
