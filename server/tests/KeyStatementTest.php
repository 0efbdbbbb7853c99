<?php

declare(strict_types=1);

// Key statements: the threshold, the chain, the signing prefix, the claim
// that replies carry, and the keys publish may sign with under a statement.
final class KeyStatementTest extends StoreTestCase
{
    private function statement(int $serial, array $roots = [], int $threshold = 0, string $product = self::PRODUCT,
                               array $signers = []): SignedStatement
    {
        $statement = new SignedStatement(new KeyStatement($product, $serial, '20991231T000000Z', [key_point(self::$key)],
            key_point(self::$freshness_key), [], array_map('key_point', $roots), $threshold));
        return array_reduce($signers, fn(SignedStatement $s, $root) => $s->signed_by($root), $statement);
    }

    public function test_k_distinct_root_keys_of_the_set_in_force_and_of_a_new_set_make_the_next_statement(): void
    {
        [$a, $b, $c, $d, $e] = array_map(fn() => self::new_key(), range(1, 5));
        $refused = fn(array $chain, SignedStatement $next) => successor_refusal($chain, $next, self::PRODUCT);
        $once = $this->statement(1, [$a, $b, $c], 2, signers: [$a]);
        $twice = parse_statement($once->file() . "signature={$once->signatures[0]}\n");
        $this->assertCount(2, $twice->signatures);
        foreach ([$once, $twice, $this->statement(1, [$a, $b, $c], 2, signers: [$a, $d])] as $too_few) {
            $this->assertStringStartsWith('1 distinct keys of the new root set', $refused([], $too_few));
        }
        $this->assertNull($refused([], $first = $this->statement(1, [$a, $b, $c], 2, signers: [$a, $c])));

        // Only serial n+1, for the product.
        foreach ([$first, $this->statement(3, signers: [$a, $b]), $this->statement(2, product: 'other', signers: [$a, $b])]
                 as $not_next) {
            $this->assertNotNull($refused([$first], $not_next));
        }
        $this->assertNull($refused([$first], $this->statement(2, signers: [$b, $c])));

        // A new set needs its own threshold too; from then on the old keys certify nothing.
        $this->assertNotNull($refused([$first], $this->statement(2, [$c, $d, $e], 2, signers: [$a, $b, $c])));
        $this->assertNull($refused([$first], $moved = $this->statement(2, [$c, $d, $e], 2, signers: [$a, $b, $d, $e])));
        $this->assertNotNull($refused([$first, $moved], $this->statement(3, signers: [$a, $b])));
        $this->assertNull($refused([$first, $moved], $this->statement(3, signers: [$d, $e])));
    }

    public function test_a_statement_signature_is_over_its_prefix_and_the_text_only(): void
    {
        $a = self::new_key();
        $statement = $this->statement(1, [$a], 1);
        $text = $statement->statement->text();
        foreach ([sign_text($a, $text), sign_reply($a, self::PRODUCT, 1, $text)] as $other_message) {
            $this->assertSame([], (new SignedStatement($statement->statement, [$other_message]))->signers([key_point($a)]));
        }
        $this->assertSame([key_point($a)], $statement->signed_by($a)->signers([key_point($a)]));
        foreach (['', "$text garbage\n", str_replace('serial=1', 'serial=01', $text), $text . $text,
                  str_replace("\n", "\r\n", $text)] as $malformed) {
            $this->assertNull(parse_statement($malformed));
        }
    }

    public function test_under_a_statement_replies_claim_its_serial_and_only_its_keys_sign(): void
    {
        $store = new ReleaseStore($this->store_root);
        $store->add_statement($this->statement(1, [$a = self::new_key()], 1, signers: [$a]));
        $serial = statement_serial_for($store->current_statement(), self::$key, self::$freshness_key, time());
        $body = "http://files.example/u/1/a.txt,1,00\r\n";
        $reply = fn(?int $claimed) => parse_stored_reply((new FreshnessSigner(new SigningKeys(self::$freshness_key),
            self::VALIDITY, time(), $claimed))->stored_reply(self::PRODUCT, 7, 'c2ln', $body));
        $this->assertSame(['signature', 'freshness', 'body'], array_keys($reply(null)));
        $reply = $reply($serial);
        $this->assertSame($body, $reply['body']);
        [$claimed, $signature] = explode(' ', $reply['keys']);
        $message = key_claim_message(1, explode(' ', $reply['freshness'])[0], signed_message(self::PRODUCT, 7, $body));
        $this->assertSame([1, '1'], [$serial, $claimed]);
        $this->assertSame(1, openssl_verify($message, base64_decode($signature), self::$freshness_public_pem, OPENSSL_ALGO_SHA256));

        $this->expectExceptionMessage('key statement 1 does not name this release key');
        statement_serial_for($store->current_statement(), self::new_key(), self::$freshness_key, time());
    }
}
