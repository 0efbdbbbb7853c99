vcl 4.1;

# The update service's edge: Varnish in front of the bucket that
# `publish push` fills. The program asks GET /upload/check_update.php?wersja=N
# and reads X-Update-Signature, X-Update-Freshness and X-Update-Keys; the
# bucket holds the reply for N as the object replies/N with those headers as
# user metadata, and an empty reply as replies/none. Released files, patches
# and key statements are files/... in the bucket, as under the store's
# files/ folder.
#
# Set the backend to the store's endpoint and BUCKET_PATH to the path under
# which the bucket's objects are read without credentials (the bucket is
# public-read): "/<bucket>" for a path-style S3 endpoint, or
# "/v1/AUTH_<account>/<bucket>" for Swift's own API.

import std;

backend bucket {
    .host = "127.0.0.1";
    .port = "8080";
}

sub bucket_path {
    set req.http.X-Bucket-Path = "/v1/AUTH_updates/updates";
}

sub vcl_recv {
    if (req.method != "GET" && req.method != "HEAD") {
        return (synth(405));
    }
    unset req.http.Cookie;
    unset req.http.Authorization;
    call bucket_path;
    if (req.url ~ "^/files/[^?]+$") {
        # Released files never change; a range (a resumed download) is the
        # store's to answer.
        set req.url = req.http.X-Bucket-Path + req.url;
        unset req.http.X-Bucket-Path;
        return (pass);
    }
    if (req.url !~ "^/upload/check_update\.php(\?|$)") {
        return (synth(404));
    }
    # The last wersja in the query, as PHP reads it; only a version written
    # as the program writes it (canonical decimal, 32-bit) names a reply.
    set req.http.X-Client-Version = regsub(req.url, "^[^?]*\?(?:.*&)?wersja=([^&]*)(?:&.*)?$|^.*$", "\1");
    if (req.http.X-Client-Version ~ "^(0|-?[1-9][0-9]{0,9})$"
        && std.integer(req.http.X-Client-Version, 0) >= -2147483648
        && std.integer(req.http.X-Client-Version, 0) <= 2147483647) {
        set req.url = req.http.X-Bucket-Path + "/replies/" + req.http.X-Client-Version;
    } else {
        set req.url = req.http.X-Bucket-Path + "/replies/none";
    }
    unset req.http.X-Client-Version;
    unset req.http.X-Bucket-Path;
    return (hash);
}

sub vcl_hash {
    hash_data(req.url);
    return (lookup);
}

sub vcl_backend_response {
    if (bereq.url !~ "/replies/[^/]+$") {
        return (deliver);
    }
    # A version without a reply gets the empty one, as the router answers.
    if (beresp.status == 404 && bereq.url !~ "/replies/none$") {
        set bereq.url = regsub(bereq.url, "/replies/[^/]+$", "/replies/none");
        return (retry);
    }
    # The store failing is no answer to keep: the client sees a server error.
    if (beresp.status != 200) {
        return (abandon);
    }
    # Swift's own API names user metadata X-Object-Meta-, S3's x-amz-meta-.
    if (beresp.http.X-Object-Meta-Update-Signature) {
        set beresp.http.X-Update-Signature = beresp.http.X-Object-Meta-Update-Signature;
        set beresp.http.X-Update-Freshness = beresp.http.X-Object-Meta-Update-Freshness;
    } else if (beresp.http.x-amz-meta-update-signature) {
        set beresp.http.X-Update-Signature = beresp.http.x-amz-meta-update-signature;
        set beresp.http.X-Update-Freshness = beresp.http.x-amz-meta-update-freshness;
    }
    if (beresp.http.X-Object-Meta-Update-Keys) {
        set beresp.http.X-Update-Keys = beresp.http.X-Object-Meta-Update-Keys;
    } else if (beresp.http.x-amz-meta-update-keys) {
        set beresp.http.X-Update-Keys = beresp.http.x-amz-meta-update-keys;
    }
    unset beresp.http.X-Object-Meta-Update-Signature;
    unset beresp.http.X-Object-Meta-Update-Freshness;
    unset beresp.http.x-amz-meta-update-signature;
    unset beresp.http.x-amz-meta-update-freshness;
    unset beresp.http.X-Object-Meta-Update-Keys;
    unset beresp.http.x-amz-meta-update-keys;
    # Cached for the reply's Cache-Control, which publish keeps well below
    # the freshness validity (the builtin logic reads it). Past that, while
    # a fresh copy is fetched, or while the store is slow or away, the last
    # reply is served for a while: its own signed expiry still bounds it.
    set beresp.grace = 10m;
}

sub vcl_deliver {
    unset resp.http.X-Timestamp;
    unset resp.http.X-Trans-Id;
    unset resp.http.X-Openstack-Request-Id;
    unset resp.http.x-amz-request-id;
    unset resp.http.x-amz-id-2;
}
