<?php

declare(strict_types=1);

// Key statements: the threshold, the chain, the signing prefix, the claim
// that replies carry, and the keys publish may sign with under a statement.
final class KeyStatementTest extends StoreTestCase
{
    /** @var list<OpenSSLAsymmetricKey> */
    private static array $roots = [];

    private static function points(array $keys): array
    {
        return array_map('key_point', $keys);
    }

    private function statement(int $serial, array $roots = [], int $threshold = 0, string $product = self::PRODUCT): SignedStatement
    {
        if (self::$roots === []) {
            self::$roots = array_map(fn() => self::new_key(), range(1, 5));
        }
        return new SignedStatement(new KeyStatement($product, $serial, '20991231T000000Z', [key_point(self::$key)],
                                                    key_point(self::$freshness_key), [], self::points($roots), $threshold));
    }

    private function signed(SignedStatement $statement, array $roots): SignedStatement
    {
        foreach ($roots as $root) {
            $statement = $statement->signed_by($root);
        }
        return $statement;
    }

    public function test_k_distinct_root_keys_of_the_set_in_force_and_of_a_new_set_make_the_next_statement(): void
    {
        $this->statement(1);
        [$a, $b, $c, $d, $e] = self::$roots;
        $first = $this->statement(1, [$a, $b, $c], 2);
        $this->assertSame('0 distinct keys of the new root set signed the statement; it needs 2',
                          successor_refusal([], $first, self::PRODUCT));
        $this->assertNotNull(successor_refusal([], $this->signed($first, [$a]), self::PRODUCT));
        // One key's signature twice counts once.
        $once = $this->signed($first, [$a]);
        $twice = new SignedStatement($first->statement, [$once->signatures[0], $once->signatures[0]]);
        $this->assertEquals($twice, parse_statement($twice->file()));
        $this->assertNotNull(successor_refusal([], $twice, self::PRODUCT));
        $this->assertNotNull(successor_refusal([], $this->signed($first, [$a, $d]), self::PRODUCT));
        $one = $this->signed($first, [$a, $c]);
        $this->assertNull(successor_refusal([], $one, self::PRODUCT));

        // Only serial n+1, for the product.
        $this->assertNotNull(successor_refusal([$one], $one, self::PRODUCT));
        $this->assertNotNull(successor_refusal([$one], $this->signed($this->statement(3), [$a, $b]), self::PRODUCT));
        $this->assertNotNull(successor_refusal([$one], $this->signed($this->statement(2, product: 'other'), [$a, $b]), self::PRODUCT));
        $this->assertNull(successor_refusal([$one], $this->signed($this->statement(2), [$b, $c]), self::PRODUCT));

        // A new set needs its own threshold too; from then on the old keys certify nothing.
        $moving = $this->statement(2, [$c, $d, $e], 2);
        $this->assertNotNull(successor_refusal([$one], $this->signed($moving, [$a, $b, $c]), self::PRODUCT));
        $moved = $this->signed($moving, [$a, $b, $d, $e]);
        $this->assertNull(successor_refusal([$one], $moved, self::PRODUCT));
        $this->assertNotNull(successor_refusal([$one, $moved], $this->signed($this->statement(3), [$a, $b]), self::PRODUCT));
        $this->assertNull(successor_refusal([$one, $moved], $this->signed($this->statement(3), [$d, $e]), self::PRODUCT));
    }

    public function test_a_statement_signature_is_over_its_prefix_and_the_text_only(): void
    {
        $this->statement(1);
        [$a] = self::$roots;
        $statement = $this->statement(1, [$a], 1);
        $text = $statement->statement->text();
        $bare = new SignedStatement($statement->statement, [sign_text($a, $text)]);
        $as_reply = new SignedStatement($statement->statement, [sign_reply($a, self::PRODUCT, 1, $text)]);
        $this->assertSame([], $bare->signers(self::points([$a])));
        $this->assertSame([], $as_reply->signers(self::points([$a])));
        $this->assertSame(self::points([$a]), $statement->signed_by($a)->signers(self::points([$a])));
        $this->assertStringStartsWith("produkt=product.example\nserial=1\nexpires=20991231T000000Z\nrelease=", $text);
        foreach (["", $text . "garbage\n", str_replace('serial=1', 'serial=01', $text), $text . $text,
                  str_replace("\n", "\r\n", $text)] as $malformed) {
            $this->assertNull(parse_statement($malformed));
        }
    }

    public function test_under_a_statement_replies_claim_its_serial_and_only_its_keys_sign(): void
    {
        $store = new ReleaseStore($this->store_root);
        $this->statement(1);
        [$a] = self::$roots;
        $store->add_statement($this->statement(1, [$a], 1)->signed_by($a));
        $serial = statement_serial_for($store->current_statement(), self::$key, self::$freshness_key, time());
        $signer = new FreshnessSigner(new SigningKeys(self::$freshness_key), self::VALIDITY, time(), $serial);
        $body = "http://files.example/u/1/a.txt,1,00\r\n";
        $reply = parse_stored_reply($signer->stored_reply(self::PRODUCT, 7, 'c2ln', $body));
        $this->assertSame($body, $reply['body']);
        [$claimed, $signature] = explode(' ', $reply['keys']);
        $this->assertSame('1', $claimed);
        $expires = explode(' ', $reply['freshness'])[0];
        $this->assertSame(1, openssl_verify(key_claim_message(1, $expires, signed_message(self::PRODUCT, 7, $body)),
                                            base64_decode($signature), self::$freshness_public_pem, OPENSSL_ALGO_SHA256));
        // Without a statement the stored form is as it always was.
        $plain = (new FreshnessSigner(new SigningKeys(self::$freshness_key), self::VALIDITY, time()))
            ->stored_reply(self::PRODUCT, 7, 'c2ln', $body);
        $this->assertSame(['signature', 'freshness', 'body'], array_keys(parse_stored_reply($plain)));

        $this->expectExceptionMessage('key statement 1 does not name this release key');
        statement_serial_for($store->current_statement(), self::new_key(), self::$freshness_key, time());
    }
}
