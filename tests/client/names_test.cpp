#include "names.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace {

using keyring_client::decode_name;
using keyring_client::encode_name;
using keyring_client::keyring_for_name;
using keyring_client::name_for_path;
using keyring_client::path_for_name;

TEST(Names, EncodeAsTheDaemonDoes) {
    EXPECT_EQ(encode_name("work"), "work");
    EXPECT_EQ(encode_name("my_keys"), "my_5fkeys");
    EXPECT_EQ(encode_name("work_1"), "work_5f1");
    EXPECT_EQ(encode_name("\xc3\x9cn\xc3\xaf"), "_c3_9cn_c3_af");
}

TEST(Names, EveryByteValueRoundTripsThroughAValidObjectPath) {
    std::string all;
    for (int byte = 1; byte < 256; byte++) {
        std::string name = "a";
        name += static_cast<char>(byte);
        name += 'z';
        auto path = path_for_name(name);
        ASSERT_TRUE(path);
        EXPECT_TRUE(g_variant_is_object_path(path->c_str())) << byte;
        EXPECT_EQ(name_for_path(*path), name) << byte;
        all += static_cast<char>(byte);
    }
    EXPECT_EQ(decode_name(encode_name(all)), all);
}

TEST(Names, EmptyNameHasNoPath) {
    EXPECT_FALSE(path_for_name(""));
}

TEST(Names, TextTheEncoderCannotProduceDoesNotDecode) {
    for (const char *element : {"_", "_5", "a_zz", "_5F", "_00", "_61", "a-b", "_2e_"})
        EXPECT_FALSE(decode_name(element)) << element;
    EXPECT_EQ(name_for_path("/org/freedesktop/secrets/collection/a_zz"), "a_zz");
    EXPECT_EQ(name_for_path("/elsewhere"), "/elsewhere");
}

TEST(Names, TheKeyringANameFindsIsItsOwnPathElseTheEarliestLabelled) {
    const std::string prefix = "/org/freedesktop/secrets/collection/";
    auto at = [&](const char *element) {
        return prefix + element;
    };
    std::vector<std::string> labelled = {at("work_5f10"), at("work_5f9"), at("work")};
    std::vector<std::string> all = labelled;
    EXPECT_EQ(keyring_for_name("my work", all, labelled), at("work"));
    labelled.pop_back();
    EXPECT_EQ(keyring_for_name("my work", all, labelled), at("work_5f9"));
    // Its own path wins over every label, whatever that keyring's label.
    all.push_back(at("my_20work"));
    EXPECT_EQ(keyring_for_name("my work", all, labelled), at("my_20work"));
    EXPECT_FALSE(keyring_for_name("my work", {at("other")}, {}));
    EXPECT_FALSE(keyring_for_name("", {}, {}));
}

} // namespace
