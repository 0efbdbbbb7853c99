vcl 4.1;

# The update service's edge: Varnish in front of the bucket that
# `publish push` fills. The program asks GET /upload/check_update.php?wersja=N
# and reads X-Update-Signature, X-Update-Freshness and X-Update-Keys; the
# bucket holds the reply for N as the object replies/N with those headers as
# user metadata, and an empty reply as replies/none. Released files, patches
# and key statements are files/... in the bucket, as under the store's
# files/ folder.
#
# While a release rolls out, replies/N for a version below it is a choice
# rather than a reply: its update-share metadata is the share of client
# groups offered the release, and the client's X-Update-Group (0 to 99; any
# other or none is 99, as at the router) picks replies/N/in below the share,
# else replies/N/out. Both are signed replies; X-Update-Rollout tells which
# was served, for the log that publish watch reads.
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
    # A restart asks for the reply vcl_deliver chose for the client's group.
    if (req.restarts > 0) {
        return (hash);
    }
    unset req.http.Cookie;
    unset req.http.Authorization;
    unset req.http.X-Object;
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
    # The reply's object; the request keeps its URL, so that the log shows
    # the client's query however the reply was chosen.
    call client_version;
    if (req.http.X-Client-Version) {
        set req.http.X-Object = req.http.X-Bucket-Path + "/replies/" + req.http.X-Client-Version;
    } else {
        set req.http.X-Object = req.http.X-Bucket-Path + "/replies/none";
    }
    unset req.http.X-Client-Version;
    unset req.http.X-Bucket-Path;
    return (hash);
}

# The version in the query as PHP reads it for the router: the last
# parameter named wersja ("wersja[...]" makes it a list, refused), its value
# percent-decoded; only a version written as the program writes it
# (canonical decimal, 32-bit) names a reply. Unset for anything else.
sub client_version {
    set req.http.X-Client-Version = regsub(req.url,
        "^[^?]*\?(?:.*&)?(wersja(?:=[^&]*)?|wersja\[[^&=]*\][^&]*)(?:&.*)?$|^.*$", "\1");
    # Digits and minus signs, as they are or percent-encoded, decode to
    # themselves one at a time; any other value cannot be a version.
    if (req.http.X-Client-Version !~ "^wersja=(?:[0-9-]|%3[0-9]|%2[dD])+$") {
        unset req.http.X-Client-Version;
        return;
    }
    set req.http.X-Client-Version = regsuball(regsub(req.http.X-Client-Version, "^wersja=", ""), "%2[dD]", "-");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%30", "0");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%31", "1");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%32", "2");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%33", "3");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%34", "4");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%35", "5");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%36", "6");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%37", "7");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%38", "8");
    set req.http.X-Client-Version = regsuball(req.http.X-Client-Version, "%39", "9");
    if (req.http.X-Client-Version !~ "^(0|-?[1-9][0-9]{0,9})$"
        || std.integer(req.http.X-Client-Version, 0) < -2147483648
        || std.integer(req.http.X-Client-Version, 0) > 2147483647) {
        unset req.http.X-Client-Version;
    }
}

sub vcl_hash {
    hash_data(req.http.X-Object);
    return (lookup);
}

sub vcl_backend_fetch {
    if (bereq.http.X-Object) {
        set bereq.url = bereq.http.X-Object;
        unset bereq.http.X-Object;
    }
}

sub vcl_backend_response {
    if (bereq.url !~ "/replies/") {
        return (deliver);
    }
    # A rolling release's choice names only replies in place.
    if (bereq.url ~ "/replies/[^/]+/(in|out)$") {
        if (beresp.status != 200) {
            return (abandon);
        }
        set beresp.http.X-Update-Rollout = regsub(bereq.url, "^.*/", "");
    }
    # A version without a reply gets the empty one, as the router answers.
    if (beresp.status == 404 && bereq.url ~ "/replies/[^/]+$" && bereq.url !~ "/replies/none$") {
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
    if (beresp.http.X-Object-Meta-Update-Share) {
        set beresp.http.X-Update-Share = beresp.http.X-Object-Meta-Update-Share;
    } else if (beresp.http.x-amz-meta-update-share) {
        set beresp.http.X-Update-Share = beresp.http.x-amz-meta-update-share;
    }
    unset beresp.http.X-Object-Meta-Update-Share;
    unset beresp.http.x-amz-meta-update-share;
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
    # A share is held at most one cache lifetime in all (half of it fresh,
    # half served while a fresh one is fetched), so that a halt reaches every
    # client within it.
    if (beresp.http.X-Update-Share) {
        set beresp.ttl = beresp.ttl / 2;
        set beresp.grace = beresp.ttl;
    }
}

sub vcl_deliver {
    if (resp.http.X-Update-Share) {
        # The group as written, 0 to 99; any other, or none, is the last.
        if (std.integer(regsub(req.http.X-Update-Group, "^(0|[1-9][0-9]?)$|^.*$", "\1"), 99)
            < std.integer(resp.http.X-Update-Share, 0)) {
            set req.http.X-Object = req.http.X-Object + "/in";
        } else {
            set req.http.X-Object = req.http.X-Object + "/out";
        }
        return (restart);
    }
    unset resp.http.X-Timestamp;
    unset resp.http.X-Trans-Id;
    unset resp.http.X-Openstack-Request-Id;
    unset resp.http.x-amz-request-id;
    unset resp.http.x-amz-id-2;
}
