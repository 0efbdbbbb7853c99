"""publish's hands on an S3-compatible bucket (python3-boto3); publish
decides what to write and in what order, this only does it:

    bucket_client.py ENDPOINT BUCKET [--progress] list PREFIX
        one JSON line per object under PREFIX: key, size, etag
    bucket_client.py ENDPOINT BUCKET [--progress] write < PLAN
        writes PLAN's objects ({"objects": [...]}, each with key, path or
        body (base64), size, md5, content_type, cache_control, metadata) in
        order, each by one PUT whose Content-MD5 the store checks, then asks
        for it back (HEAD) and compares size, MD5 and metadata before the
        next; --progress shows the bytes written of the total on standard
        error.

The credentials come from AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY
alone (no file is read); the region from AWS_DEFAULT_REGION, else us-east-1.
Exits 1 with the reason on standard error when anything fails.
"""

import base64
import io
import json
import os
import sys
import time

import boto3
import botocore.config
import botocore.exceptions


class Failed(Exception):
    pass


def client(endpoint):
    key = os.environ.get("AWS_ACCESS_KEY_ID", "")
    secret = os.environ.get("AWS_SECRET_ACCESS_KEY", "")
    if not key or not secret:
        raise Failed("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set")
    # No configuration or credentials file is looked for.
    session = boto3.session.Session(aws_access_key_id=key, aws_secret_access_key=secret,
                                    region_name=os.environ.get("AWS_DEFAULT_REGION", "us-east-1"))
    config = botocore.config.Config(s3={"addressing_style": "path"}, retries={"max_attempts": 3},
                                    connect_timeout=10, read_timeout=60)
    return session.client("s3", endpoint_url=endpoint, config=config)


def list_objects(s3, bucket, prefix):
    for page in s3.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix):
        for found in page.get("Contents", []):
            print(json.dumps({"key": found["Key"], "size": found["Size"], "etag": found["ETag"]}))


class Progress:
    """Bytes written of the total, a few times a second: boto3 reads a
    file twice (its payload's hash for the signature, then the upload), so
    the count shown only ever grows."""

    def __init__(self, total, shown):
        self.total = total
        self.done = 0
        self.shown = shown
        self.last = (-1, 0.0)

    def show(self, extra=0, force=False):
        count = self.done + extra
        now = time.monotonic()
        if self.shown and count > self.last[0] and (force or now - self.last[1] >= 0.2):
            self.last = (count, now)
            sys.stderr.write("\rPushing: %d of %d bytes" % (count, self.total))
            sys.stderr.flush()

    def end(self):
        if self.shown:
            self.show(force=True)
            sys.stderr.write("\n")


class CountingFile(io.FileIO):
    """A file that shows how far boto3 has read it (seek(0) on a retry
    starts the count again)."""

    def __init__(self, path, progress):
        super().__init__(path, "rb")
        self.progress = progress

    def read(self, size=-1):
        data = super().read(size)
        self.progress.show(self.tell())
        return data


def write_object(s3, bucket, entry, progress):
    arguments = {"Bucket": bucket, "Key": entry["key"], "ContentType": entry["content_type"],
                 "ContentLength": entry["size"], "Metadata": entry["metadata"] or {},
                 "ContentMD5": base64.b64encode(bytes.fromhex(entry["md5"])).decode()}
    if entry["cache_control"] is not None:
        arguments["CacheControl"] = entry["cache_control"]
    if entry["path"] is not None:
        with CountingFile(entry["path"], progress) as body:
            s3.put_object(Body=body, **arguments)
    else:
        s3.put_object(Body=base64.b64decode(entry["body"]), **arguments)
    verify(s3, bucket, entry)
    progress.done += entry["size"]
    progress.show()


def verify(s3, bucket, entry):
    held = s3.head_object(Bucket=bucket, Key=entry["key"])
    found = (held["ContentLength"], held["ETag"].strip('"').lower(), held.get("Metadata", {}),
             held.get("CacheControl"))
    wanted = (entry["size"], entry["md5"], entry["metadata"] or {}, entry["cache_control"])
    if found != wanted:
        raise Failed("%s reads back as size %d, MD5 %s, metadata %r, Cache-Control %r; it was written as "
                     "size %d, MD5 %s, metadata %r, Cache-Control %r" % ((entry["key"],) + found + wanted))


def write_objects(s3, bucket, objects, show_progress):
    progress = Progress(sum(entry["size"] for entry in objects), show_progress)
    progress.show(force=True)
    for entry in objects:
        write_object(s3, bucket, entry, progress)
    progress.end()


def main(arguments):
    endpoint, bucket = arguments[:2]
    show_progress = arguments[2:3] == ["--progress"]
    command = arguments[3 if show_progress else 2:]
    s3 = client(endpoint)
    if command[:1] == ["list"] and len(command) == 2:
        list_objects(s3, bucket, command[1])
    elif command == ["write"]:
        write_objects(s3, bucket, json.load(sys.stdin)["objects"], show_progress)
    else:
        raise Failed("usage: bucket_client.py ENDPOINT BUCKET [--progress] list PREFIX | write")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (Failed, botocore.exceptions.BotoCoreError, botocore.exceptions.ClientError, OSError) as error:
        sys.stderr.write("%s\n" % error)
        sys.exit(1)
