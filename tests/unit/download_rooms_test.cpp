// One offered file from a scripted server on 127.0.0.1 to "_update\<name>",
// watched by a fake progress sink: the patch or the whole file, the whole
// file when the patch does not apply, cancel, and the requests after a body
// cut short.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scratch_folder.h"
#include "scripted_server.h"
#include "support/files.h"
#include "support/hex.h"
#include "update/file_fetch.h"
#include "update/patch_fetch.h"
#include "update/platform_crypto.h"
#include "update/publisher_pins.h"

namespace {

// The rooms' rules hold with or without pins; these files are no programs.
const PublisherPins no_pins{nullptr, 0};

std::string sha256_hex(const std::string& data)
{
    Sha256Digest digest;
    sha256({{data.data(), data.size()}}, digest);
    return hex_text(digest.data(), digest.size());
}

std::string vector_file(const std::string& name)
{
    std::string contents;
    read_whole_file(std::string(VCDIFF_VECTORS) + "/" + name, contents);
    return contents;
}

// The installed form, the new one and the patch between them, made by xdelta3.
struct Forms {
    std::string base = vector_file("appended_tail.source");
    std::string target = vector_file("appended_tail.target");
    std::string patch = vector_file("appended_tail.patch");
};

OfferedFile offered(INTERNET_PORT port, const std::string& body)
{
    OfferedFile file;
    file.url = "http://127.0.0.1:" + std::to_string(port) + "/files/a.dll";
    split_url(file.url, file.location);
    file.size = static_cast<std::int32_t>(body.size());
    file.hash = sha256_hex(body);
    file.file_name = "a.dll";
    return file;
}

void offer_patch(OfferedFile& file, INTERNET_PORT port, const Forms& forms)
{
    file.patch.url = "http://127.0.0.1:" + std::to_string(port) + "/patches/a.dll";
    split_url(file.patch.url, file.patch.location);
    file.patch.size = static_cast<std::int32_t>(forms.patch.size());
    file.patch.base_hash = sha256_hex(forms.base);
}

std::string staged()
{
    std::string contents;
    return read_whole_file("_update\\a.dll", contents) ? contents : "(none)";
}

// The request lines' targets, in order.
std::vector<std::string> targets(const std::vector<std::string>& requests)
{
    std::vector<std::string> found;
    for (const std::string& request : requests)
        found.push_back(request.substr(4, request.find(' ', 4) - 4));
    return found;
}

class DownloadRooms : public InScratchFolder {
protected:
    void SetUp() override
    {
        InScratchFolder::SetUp();
        CreateDirectoryA("_update", nullptr);
    }

    FakeProgress progress;
    DownloadItem item;
};

TEST_F(DownloadRooms, AWholeFileIsFetchedCheckedAndStagedUnderItsName)
{
    const std::string body(5000, 'b');
    ScriptedServer server({reply_with_body("200 OK", body), reply_with_body("200 OK", body)});
    OfferedFile file = offered(server.port(), body);
    EXPECT_EQ(fetch_offered_file(progress, file, item, no_pins), DownloadOutcome::done);
    EXPECT_EQ(staged(), body);
    EXPECT_EQ(progress.held, body.size());
    EXPECT_EQ(progress.most, body.size());
    DeleteFileA("_update\\a.dll");
    file.hash = sha256_hex("another body");
    EXPECT_EQ(fetch_offered_file(progress, file, item, no_pins), DownloadOutcome::failed);
    EXPECT_EQ(staged(), "(none)");
    EXPECT_EQ(targets(server.stop()), (std::vector<std::string>{"/files/a.dll", "/files/a.dll"}));
}

TEST_F(DownloadRooms, APatchForTheInstalledFormIsFetchedInsteadOfTheFile)
{
    const Forms forms;
    ASSERT_FALSE(forms.patch.empty()) << "no vectors in " << VCDIFF_VECTORS;
    write_whole_file("a.dll", forms.base.data(), forms.base.size());
    ScriptedServer server({reply_with_body("200 OK", forms.patch)});
    OfferedFile file = offered(server.port(), forms.target);
    offer_patch(file, server.port(), forms);
    EXPECT_EQ(fetch_offered_file(progress, file, item, no_pins), DownloadOutcome::done);
    EXPECT_EQ(staged(), forms.target);
    EXPECT_EQ(targets(server.stop()), std::vector<std::string>{"/patches/a.dll"});
}

TEST_F(DownloadRooms, TheWholeFileComesWhenThePatchDoesNotApply)
{
    const Forms forms;
    const std::string damaged(forms.patch.size(), 'x');
    const std::string changed = forms.base + "changed";
    struct Case {
        std::string installed;
        std::string patch_sent;  // empty: the patch is not asked for
        std::int32_t patch_size;
    } cases[] = {
        {changed, "", static_cast<std::int32_t>(forms.patch.size())},
        {forms.base, damaged, static_cast<std::int32_t>(forms.patch.size())},
        {forms.base, "", largest_patch_size + 1},
    };
    for (const Case& c : cases) {
        write_whole_file("a.dll", c.installed.data(), c.installed.size());
        std::vector<Answer> answers;
        if (!c.patch_sent.empty())
            answers.emplace_back(reply_with_body("200 OK", c.patch_sent));
        answers.emplace_back(reply_with_body("200 OK", forms.target));
        ScriptedServer server(answers);
        OfferedFile file = offered(server.port(), forms.target);
        offer_patch(file, server.port(), forms);
        file.patch.size = c.patch_size;
        EXPECT_EQ(fetch_offered_file(progress, file, item, no_pins), DownloadOutcome::done);
        EXPECT_EQ(staged(), forms.target);
        std::vector<std::string> expected{"/files/a.dll"};
        if (!c.patch_sent.empty())
            expected.insert(expected.begin(), "/patches/a.dll");
        EXPECT_EQ(targets(server.stop()), expected) << c.patch_size;
    }
}

TEST_F(DownloadRooms, CancelEndsTheFileWhetherItsPatchOrItselfComes)
{
    const Forms forms;
    write_whole_file("a.dll", forms.base.data(), forms.base.size());
    for (bool patched : {true, false}) {
        ScriptedServer server({reply_with_body("200 OK", patched ? forms.patch : forms.target)});
        OfferedFile file = offered(server.port(), forms.target);
        if (patched)
            offer_patch(file, server.port(), forms);
        FakeProgress cancelling;
        cancelling.cancel_at = 1;
        EXPECT_EQ(fetch_offered_file(cancelling, file, item, no_pins), DownloadOutcome::cancelled) << patched;
        EXPECT_EQ(staged(), "(none)");
        EXPECT_EQ(server.stop().size(), 1u) << patched;
    }
}

TEST_F(DownloadRooms, ABodyCutShortIsContinuedUnderItsValidatorOrAskedForAgain)
{
    const std::string body(4000, 'c');
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 4000\r\n";
    const std::string rest = "HTTP/1.0 206 Partial Content\r\nContent-Length: 2000\r\nETag: \"v1\"\r\n"
                             "Content-Range: bytes 2000-3999/4000\r\n\r\n" + body.substr(2000);
    for (bool validated : {true, false}) {
        ScriptedServer server({head + (validated ? "ETag: \"v1\"\r\n" : "") + "\r\n" + body.substr(0, 2000),
                               validated ? rest : reply_with_body("200 OK", body)});
        EXPECT_EQ(fetch_offered_file(progress, offered(server.port(), body), item, no_pins), DownloadOutcome::done);
        EXPECT_EQ(staged(), body);
        const std::vector<std::string> requests = server.stop();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].find("Range: bytes=2000-") != std::string::npos, validated) << requests[1];
        EXPECT_EQ(requests[1].find("If-Range: \"v1\"") != std::string::npos, validated) << requests[1];
    }
}

}  // namespace
