// The client library against a scripted keyring service: what it asks the
// service, and what it makes of every kind of answer.
#include "fake_service.h"
#include "freed_memory.h"
#include "info.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>

namespace {

using Calls = std::vector<std::string>;

const std::string kPrefix = FakeService::kPrefix;

// What the library handed to a handler.
struct Answer {
    int handled = 0;
    GnomeKeyringResult result = GNOME_KEYRING_RESULT_OK;
    std::optional<std::string> string;
    std::vector<std::string> names;
    GnomeKeyringInfo info;
    int destroyed = 0;
};

Answer answer;
GMainLoop *loop = nullptr;

void heard(GnomeKeyringResult result, gpointer) {
    answer.handled++;
    answer.result = result;
    g_main_loop_quit(loop);
}

void heard_string(GnomeKeyringResult result, const char *string, gpointer data) {
    if (string != nullptr)
        answer.string = string;
    heard(result, data);
}

void heard_list(GnomeKeyringResult result, GList *list, gpointer data) {
    for (GList *name = list; name != nullptr; name = name->next)
        answer.names.emplace_back(static_cast<const char *>(name->data));
    heard(result, data);
}

void heard_info(GnomeKeyringResult result, GnomeKeyringInfo *info, gpointer data) {
    if (info != nullptr)
        answer.info = *info;
    heard(result, data);
}

void destroyed(gpointer) {
    answer.destroyed++;
}

class Client : public testing::Test {
protected:
    static void SetUpTestSuite() { service = std::make_unique<FakeService>(); }
    static void TearDownTestSuite() { service.reset(); }
    void SetUp() override {
        ASSERT_TRUE(gnome_keyring_is_available());
        service->reset();
        answer = Answer{};
    }

    // Sends one request and runs the loop until its handler was called.
    template <typename Send> Answer ask(Send send) {
        answer = Answer{};
        loop = g_main_loop_new(nullptr, FALSE);
        send();
        EXPECT_EQ(answer.handled, 0) << "handler called from inside the call";
        g_main_loop_run(loop);
        g_clear_pointer(&loop, g_main_loop_unref);
        EXPECT_EQ(answer.handled, 1);
        EXPECT_EQ(answer.destroyed, 1) << "destroy notifier";
        return answer;
    }

    Answer lock(const char *name) {
        return ask([=] { gnome_keyring_lock(name, heard, nullptr, destroyed); });
    }
    Answer create(const char *name, const char *password = "pw") {
        return ask([=] { gnome_keyring_create(name, password, heard, nullptr, destroyed); });
    }

    static std::unique_ptr<FakeService> service;
};

std::unique_ptr<FakeService> Client::service;

std::string locked_path(const ServiceCall &call) {
    g_autoptr(GVariant) paths = g_variant_get_child_value(call.params, 0);
    const char *first = nullptr;
    if (g_variant_n_children(paths) != 1)
        return "several";
    g_variant_get_child(paths, 0, "&o", &first);
    return first;
}

TEST_F(Client, ListShowsEveryKeyringByItsName) {
    for (const char *element : {"login", "my_5fkeys", "w_c3_b6rk", "zz_20top", "a_zz"})
        service->add(element, {});
    auto heard = ask([] { gnome_keyring_list_keyring_names(heard_list, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_OK);
    // What the library cannot have encoded stays as the daemon wrote it.
    EXPECT_EQ(heard.names, (Calls{"login", "my_keys", "w\xc3\xb6rk", "zz top", "a_zz"}));
}

TEST_F(Client, ANameFindsItsKeyringByPathFirstThenByLabel) {
    service->add("zz_5ftop", {"zz top"});
    service->add("other", {"my keys"});
    EXPECT_EQ(lock("zz_top").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->calls(), (Calls{"Service.Lock", "Properties.Get"}));
    EXPECT_EQ(locked_path(service->call("Service.Lock")), kPrefix + "zz_5ftop");

    service->reset();
    service->add("zz_5ftop", {"zz top"});
    service->add("my_5fkeys", {"my keys"});
    EXPECT_EQ(lock("my keys").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->calls(),
              (Calls{"Service.Lock", "Properties.Get", "Properties.Get", "Properties.Get",
                     "Properties.Get", "Service.Lock", "Properties.Get"}));
    EXPECT_TRUE(service->keyring("my_5fkeys")->locked);
    EXPECT_FALSE(service->keyring("zz_5ftop")->locked);

    // A keyring deleted while the labels are read is passed over.
    service->reset();
    service->add("gone", {"gone"});
    service->add("other", {"mine"});
    service->script = [](const ServiceCall &call) -> std::optional<ServiceAnswer> {
        if (call.path != kPrefix + "gone")
            return std::nullopt;
        return ServiceAnswer{nullptr, "org.freedesktop.DBus.Error.UnknownObject"};
    };
    EXPECT_EQ(lock("mine").result, GNOME_KEYRING_RESULT_OK);

    // More labels than a bus lets one connection await replies for at once,
    // from a service slow enough to have them all waiting.
    service->reset();
    for (int i = 0; i < 200; i++) {
        std::string element = "k";
        std::string label = "label ";
        service->add(element += std::to_string(i), {label += std::to_string(i)});
    }
    service->script = [](const ServiceCall &) -> std::optional<ServiceAnswer> {
        g_usleep(1000);
        return std::nullopt;
    };
    EXPECT_EQ(lock("label 199").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_TRUE(service->keyring("k199")->locked);
}

TEST_F(Client, ANameNoKeyringOrTwoKeyringsCarryIsNotFound) {
    service->add("a", {"twin"});
    service->add("b", {"twin"});
    EXPECT_EQ(lock("twin").result, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    EXPECT_EQ(lock("nobody").result, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    EXPECT_EQ(lock("").result, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    EXPECT_FALSE(service->keyring("a")->locked || service->keyring("b")->locked);
}

TEST_F(Client, InfoReadsEachPropertyIntoItsField) {
    service->add("work", {"work", true, 1111, 2222});
    auto heard = ask([] { gnome_keyring_get_info("work", heard_info, nullptr, destroyed); });
    ASSERT_EQ(heard.result, GNOME_KEYRING_RESULT_OK);
    EXPECT_TRUE(gnome_keyring_info_get_is_locked(&heard.info));
    EXPECT_EQ(gnome_keyring_info_get_ctime(&heard.info), 1111);
    EXPECT_EQ(gnome_keyring_info_get_mtime(&heard.info), 2222);
    EXPECT_FALSE(gnome_keyring_info_get_lock_on_idle(&heard.info));
    EXPECT_EQ(gnome_keyring_info_get_lock_timeout(&heard.info), 0U);

    // A property of the wrong type is a broken answer, not a date.
    service->script = [](const ServiceCall &call) -> std::optional<ServiceAnswer> {
        const char *property = "";
        if (call.method == "Get")
            g_variant_get(call.params, "(&s&s)", nullptr, &property);
        if (std::string(property) == "Modified")
            return ServiceAnswer{g_variant_new("(v)", g_variant_new_string("yesterday"))};
        return std::nullopt;
    };
    heard = ask([] { gnome_keyring_get_info("work", heard_info, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST_F(Client, DefaultKeyringIsReadAndSetByAlias) {
    auto heard = ask([] { gnome_keyring_get_default_keyring(heard_string, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_OK);
    EXPECT_FALSE(heard.string) << *heard.string;

    service->add("my_5fkeys", {"my keys"});
    heard = ask([] { gnome_keyring_set_default_keyring("my keys", ::heard, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->default_alias, kPrefix + "my_5fkeys");
    heard = ask([] { gnome_keyring_get_default_keyring(heard_string, nullptr, destroyed); });
    EXPECT_EQ(heard.string, "my_keys");
}

// A command's request on a keyring (create: a new one).
void send_on(std::string_view command, const char *keyring) {
    if (command == "list")
        gnome_keyring_list_keyring_names(heard_list, nullptr, destroyed);
    else if (command == "getdef")
        gnome_keyring_get_default_keyring(heard_string, nullptr, destroyed);
    else if (command == "setdef")
        gnome_keyring_set_default_keyring(keyring, heard, nullptr, destroyed);
    else if (command == "lock")
        gnome_keyring_lock(keyring, heard, nullptr, destroyed);
    else if (command == "delete")
        gnome_keyring_delete(keyring, heard, nullptr, destroyed);
    else if (command == "create")
        gnome_keyring_create("new", "pw", heard, nullptr, destroyed);
    else if (command == "unlock")
        gnome_keyring_unlock(keyring, "pw", heard, nullptr, destroyed);
    else if (command == "look")
        gnome_keyring_needs_password(keyring, FALSE, heard, nullptr, destroyed);
    else if (command == "look-create")
        gnome_keyring_needs_password("new", TRUE, heard, nullptr, destroyed);
}

// The service's failures, answers that only look like success, and
// answers forged by another client of the bus, which can answer any call
// before the service does: a forged answer is passed over, and the
// service's own decides. A change counts only when the
// keyring's state, read right behind it, shows it done: KWallet and
// KeePassXC have no password interface, accept any alias, call a missing
// keyring invalid and refuse to lock a locked one; gnome-keyring lists its
// "session" keyring as locked and leaves it open.
TEST_F(Client, AnswersBecomeResultCodes) {
    const std::string work = "objectpath '" + kPrefix + "work'";
    constexpr auto kIoError = GNOME_KEYRING_RESULT_IO_ERROR;
    constexpr auto kNotDone = GNOME_KEYRING_RESULT_DENIED;
    constexpr auto kUnsupported = GNOME_KEYRING_RESULT_NOT_SUPPORTED;
    constexpr auto kMissing = GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    constexpr bool kForged = true;
    constexpr auto kOk = GNOME_KEYRING_RESULT_OK;
    const std::string kFailed = "org.freedesktop.DBus.Error.Failed";
    const std::string kDenied = "org.gnome.keyring.Error.Denied";
    const std::string kNoInterface = "org.freedesktop.DBus.Error.UnknownInterface";
    const std::string kInvalid = "org.freedesktop.DBus.Error.InvalidArgs";
    struct Case {
        std::string_view command;
        std::string method;
        std::string body; // GVariant text; empty for an error
        std::string error;
        GnomeKeyringResult result = kIoError;
        bool forged = false;
        const char *keyring = "work";
        bool locked = false; // the keyring's state before
    };
    const Case cases[] = {
        {"lock", "Lock", "", "org.freedesktop.Secret.Error.IsLocked", GNOME_KEYRING_RESULT_DENIED},
        {"lock", "Lock", "", "org.gnome.keyring.Error.Denied", GNOME_KEYRING_RESULT_DENIED},
        {"lock", "Lock", "", "org.freedesktop.DBus.Error.ServiceUnknown",
         GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
        {"lock", "Lock", "", "org.freedesktop.DBus.Error.NoReply"},
        {"lock", "Lock", "(@ao [], objectpath '/org/freedesktop/secrets/prompt/p1')", "",
         GNOME_KEYRING_RESULT_DENIED},
        {"lock", "Lock", "('not a lock answer',)", ""},
        {"delete", "Delete", "(objectpath '/org/freedesktop/secrets/prompt/p2',)", "",
         GNOME_KEYRING_RESULT_DENIED},
        {"delete", "Delete", "", kInvalid, GNOME_KEYRING_RESULT_BAD_ARGUMENTS},
        {"setdef", "SetAlias", "('more than nothing',)", ""},
        {"unlock", "UnlockWithMasterPassword", "(true,)", "", kIoError, false, "work", true},
        {"create", "CreateWithMasterPassword", "(objectpath '/',)", ""},
        {"create", "CreateWithMasterPassword",
         "(objectpath '/org/freedesktop/secrets/session/s1',)", ""},
        {"create", "CreateWithMasterPassword", "(" + work + ",)", ""},
        // Accepted and not done, or refused and done; a state that cannot
        // be read confirms nothing; and what other services say of what
        // they cannot do, or of a missing keyring.
        {"lock", "Lock", "([" + work + "], objectpath '/')", "", kNotDone},
        {"lock", "Lock", "", kInvalid, GNOME_KEYRING_RESULT_OK, false, "work", true},
        {"setdef", "SetAlias", "()", "", kNotDone},
        {"setdef", "Get", "", "org.freedesktop.DBus.Error.Failed", kIoError},
        {"delete", "Delete", "(objectpath '/',)", "", kNotDone},
        {"unlock", "UnlockWithMasterPassword", "()", "", kNotDone, false, "work", true},
        {"unlock", "UnlockWithMasterPassword", "", kNoInterface, kUnsupported, false, "work", true},
        {"unlock", "UnlockWithMasterPassword", "", kNoInterface, GNOME_KEYRING_RESULT_OK},
        {"create", "CreateWithMasterPassword", "", kNoInterface, kUnsupported},
        {"create", "CreateWithMasterPassword", "(objectpath '" + kPrefix + "ghost',)", ""},
        {"lock", "Lock", "", kInvalid, kMissing, false, "nosuch"},
        {"setdef", "SetAlias", "()", "", kMissing, false, "nosuch"},
        {"unlock", "UnlockWithMasterPassword", "", kNoInterface, kMissing, false, "nosuch"},
        // The look before a prompt: whether the password would be used.
        {"look", "GetAll", "(@a{sv} {},)", "", GNOME_KEYRING_RESULT_OK, false, "work", true},
        {"look", "GetAll", "", kNoInterface, kUnsupported, false, "work", true},
        {"look", "GetAll", "", kInvalid, kUnsupported, false, "work", true},
        {"look", "GetAll", "", kNoInterface, GNOME_KEYRING_RESULT_ALREADY_UNLOCKED},
        {"look-create", "GetAll", "", kNoInterface, kUnsupported},
        // Forged, then the service's own answer: a failure, or a value
        // that would fail the request, from elsewhere.
        {"list", "Get", "", kFailed, kOk, kForged},
        {"getdef", "ReadAlias", "", kFailed, kOk, kForged},
        {"setdef", "Get", "(<'/'>,)", "", kOk, kForged},
        {"create", "OpenSession", "(<[byte 32]>, objectpath '/s')", "", kOk, kForged},
        {"create", "CreateWithMasterPassword", "", kDenied, kOk, kForged},
        {"unlock", "OpenSession", "(<[byte 32]>, objectpath '/s')", "", kOk, kForged, "work", true},
        {"look", "GetAll", "", kNoInterface, kOk, kForged, "work", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.keyring + ": " + c.method + " " + c.body +
                     c.error + (c.forged ? ", forged" : ""));
        service->reset();
        service->add("work", {"work", c.locked, 0, 0, "pw"});
        service->default_alias = std::string(kPrefix) + "login"; // another's, unless changed
        service->script = [&c](const ServiceCall &call) -> std::optional<ServiceAnswer> {
            if (call.method != c.method)
                return std::nullopt;
            GVariant *body = c.body.empty() ? nullptr : g_variant_new_parsed(c.body.c_str());
            return ServiceAnswer{body, c.error, false, c.forged};
        };
        EXPECT_EQ(ask([&] { send_on(c.command, c.keyring); }).result, c.result);
    }
}

TEST_F(Client, AKeyringThatVanishedIsNotFound) {
    service->add("work", {"work"});
    service->script = [](const ServiceCall &call) -> std::optional<ServiceAnswer> {
        if (call.method == "Delete")
            return ServiceAnswer{nullptr, "org.freedesktop.DBus.Error.UnknownMethod"};
        return std::nullopt;
    };
    auto heard = ask([] { gnome_keyring_delete("work", ::heard, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
}

TEST_F(Client, CreateRefusesANameInUseWithoutCreating) {
    service->add("old", {"work"});
    service->add("my_5fkeys", {"my keys"});
    EXPECT_EQ(create("work").result, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    // "my_keys" finds the keyring at its path, whatever that one's label.
    EXPECT_EQ(create("my_keys").result, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    EXPECT_EQ(create("").result, GNOME_KEYRING_RESULT_BAD_ARGUMENTS);
    EXPECT_EQ(create("\xff").result, GNOME_KEYRING_RESULT_BAD_ARGUMENTS);
    for (const auto &call : service->calls())
        EXPECT_NE(call, "InternalUnsupportedGuiltRiddenInterface.CreateWithMasterPassword");
    EXPECT_EQ(service->elements(), (Calls{"old", "my_5fkeys"}));
}

TEST_F(Client, CreateSendsTheNameAsLabel) {
    EXPECT_EQ(create("my keys").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->elements(), Calls{"my_5fkeys"});
    EXPECT_EQ(service->keyring("my_5fkeys")->label, "my keys");
}

// Another creator of the same name got there first, after our check.
TEST_F(Client, CreateThatLostARaceTakesItsKeyringBack) {
    service->script = [](const ServiceCall &call) -> std::optional<ServiceAnswer> {
        if (call.method == "CreateWithMasterPassword" && service->elements().empty())
            service->add("same", {"same"});
        return std::nullopt;
    };
    EXPECT_EQ(create("same").result, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    EXPECT_EQ(service->elements(), Calls{"same"});
    EXPECT_EQ(service->calls().back(), "Collection.Delete");
    EXPECT_EQ(service->call("Collection.Delete").path, kPrefix + "same_5f1");
}

// Another creator came after us: ours stays, theirs is theirs to take back.
TEST_F(Client, CreateThatWonARaceKeepsItsKeyring) {
    service->after = [](const ServiceCall &call) {
        if (call.method == "CreateWithMasterPassword")
            service->add("same_5f1", {"same"});
    };
    EXPECT_EQ(create("same").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->elements(), (Calls{"same", "same_5f1"}));
    for (const auto &call : service->calls())
        EXPECT_NE(call, "Collection.Delete");
}

TEST_F(Client, PasswordsNeverTravelWithoutEncryption) {
    service->algorithms = {"plain"};
    EXPECT_EQ(create("work", "hunter2").result, GNOME_KEYRING_RESULT_NOT_SUPPORTED);
    service->add("work", {"work", true});
    auto heard = ask([] { gnome_keyring_unlock("work", "hunter2", ::heard, nullptr, destroyed); });
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_NOT_SUPPORTED);
    for (const auto &call : service->calls()) {
        EXPECT_EQ(call.find("WithMasterPassword"), std::string::npos) << call;
    }
    EXPECT_TRUE(service->keyring("work")->locked);
}

// The service reads every byte as it was given, across the block edges
// of the padding, and refuses a near miss.
TEST_F(Client, PasswordsArriveExactlyAsGiven) {
    const std::string passwords[] = {"",
                                     "fifteen bytes!!",
                                     "sixteen bytes!!!",
                                     "seventeen bytes!!",
                                     "caf\xe9 \xff\x01",
                                     std::string(5000, 'k')};
    int n = 0;
    for (const auto &password : passwords) {
        std::string name = "pw" + std::to_string(n++);
        ASSERT_EQ(create(name.c_str(), password.c_str()).result, GNOME_KEYRING_RESULT_OK);
        EXPECT_EQ(service->keyring(name)->password, password) << name;
        lock(name.c_str());
        auto near_miss = password + "x";
        auto heard = ask([&] {
            gnome_keyring_unlock(name.c_str(), near_miss.c_str(), ::heard, nullptr, destroyed);
        });
        EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_DENIED) << name;
    }
    // A fresh IV for every password sent.
    EXPECT_EQ(service->ivs.size(), 2 * std::size(passwords));
    EXPECT_EQ(std::set(service->ivs.begin(), service->ivs.end()).size(), service->ivs.size());
}

// A service value that makes the session key one anybody can work out (0,
// 1, or 2, which makes it our own public value; the whole range is the
// session's unit test), or one longer than the group: no password is sent
// under it. Leading zeros are no part of the value.
TEST_F(Client, ServiceValuesAnyoneCouldGuessAreRefused) {
    for (const auto &value :
         {std::vector<guint8>{}, std::vector<guint8>(128, 0), std::vector<guint8>{1},
          std::vector<guint8>{2}, std::vector<guint8>(129, 2)}) {
        service->reset();
        service->public_value = value;
        EXPECT_EQ(create("work", "hunter2").result, GNOME_KEYRING_RESULT_IO_ERROR);
        EXPECT_TRUE(service->elements().empty());
    }
    service->reset();
    service->public_value.insert(service->public_value.begin(), 3, 0);
    EXPECT_EQ(create("work", "hunter2").result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->keyring("work")->password, "hunter2");
}

TEST_F(Client, PasswordCopiesAreWipedBeforeRelease) {
    if (!can_watch_freed_memory())
        GTEST_SKIP() << "the allocator is the sanitizer's";
    const std::string password = "correct horse battery staple";
    service->add("work", {"work", true, 0, 0, password});
    watch_freed_memory(password);
    auto heard =
        ask([&] { gnome_keyring_unlock("work", password.c_str(), ::heard, nullptr, destroyed); });
    create("fresh", password.c_str());
    EXPECT_EQ(freed_blocks_holding_secret(), 0U);
    EXPECT_EQ(heard.result, GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(service->elements(), (Calls{"work", "fresh"}));
}

} // namespace
