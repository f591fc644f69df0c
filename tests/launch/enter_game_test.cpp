#include "tests/support/loopback_peer.h"
#include "tests/support/main_window_harness.h"
#include "tests/support/reference_service.h"

#include "base/text.h"
#include "launch/connect_block.h"
#include "launch/enter_game.h"
#include "launch/hardware_id.h"
#include "launch/region_list.h"
#include "net/line_client.h"
#include "tests/launch/launch_test_support.h"
#include "ui/controls.h"
#include "ui/launch_job.h"
#include "ui/region_list_job.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kGameRecordTimeoutMs = 15000;
constexpr wchar_t kCaption[] = L"无法启动游戏";
constexpr char kSerial[] = "7395104826153049";

// A region's authorisation service on loopback: its n-th connection gets the n-th reply, sent as it is (an empty
// reply closes the connection without a word); every request line is logged.
class AuthService {
public:
    explicit AuthService(std::vector<std::string> replies)
        : peer_([replies = std::move(replies), log = &requests_, next = std::size_t{0}](
                    probe::PeerConnection& connection) mutable {
              log->Add(connection.ReadLine());
              if (next >= replies.size() || replies[next++].empty())
                  return;
              connection.Send(replies[next - 1]);
              connection.WaitClientClose(10000);
          })
    {
    }

    std::uint16_t port() const { return peer_.port(); }
    int connections() const { return peer_.connections(); }
    std::vector<std::string> requests() const { return requests_.Lines(); }

private:
    probe::RequestLog requests_;
    probe::LoopbackPeer peer_;
};

std::vector<std::string> AuthFields(const std::string& line)
{
    std::vector<std::string> fields;
    for (const std::wstring& field : SplitFields(Utf8ToWide(line), L'\t'))
        fields.push_back(WideToUtf8(field));
    return fields;
}

class EnterGameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* name : {L"VORN_SERVER_HOST", L"VORN_SERVER_PORT", L"VORN_CLIENT_SERIAL"})
            SetEnvironmentVariableW(name, nullptr);
    }

    void UseConfig(LauncherConfig config) { config_ = std::move(config); }

    void UseRegion(std::uint16_t port, const std::wstring& host = L"127.0.0.1")
    {
        region_ = RegionInfo{L"一区", host, port, L""};
        hasRegions_ = true;
        hasSelection_ = true;
    }

    // The launch as the window runs it once the button is pressed: the checks, the authorisation, then the
    // message or the game start with the stand-in window as the owner.
    void Launch(const std::wstring& account = L"")
    {
        const std::optional<LaunchNotice> notice =
            CheckLaunchPreconditions(hasRegions_, hasSelection_, folder_.root()).stop;
        if (notice) {
            ShowLaunchNotice(window_.get(), *notice);
            return;
        }
        FinishLaunch(window_.get(), AuthoriseLaunch(config_, region_, account), config_, folder_.root());
    }

    // The one message box the launch showed, with the caption and OK button every launch message has.
    std::wstring OnlyMessage(UINT icon) const
    {
        if (boxes_.calls().size() != 1) {
            ADD_FAILURE() << boxes_.calls().size() << " message boxes";
            return {};
        }
        const launchtest::MessageBoxCall& call = boxes_.calls()[0];
        EXPECT_EQ(call.caption, kCaption);
        EXPECT_EQ(call.type, static_cast<UINT>(MB_OK | icon));
        EXPECT_EQ(call.owner, window_.get());
        return call.text;
    }

    // The one error the launch shows when the service answers the CAPTCHA exchange with ERR and the AUTH
    // exchange with `reply`; the connections the service took for it.
    std::pair<std::wstring, int> ErrorForReply(const std::string& reply)
    {
        const launchtest::MessageBoxRecorder boxes;
        const AuthService service({"ERR\n", reply + "\n"});
        UseRegion(service.port());
        Launch();
        if (boxes.calls().size() != 1) {
            ADD_FAILURE() << boxes.calls().size() << " message boxes";
            return {};
        }
        EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        return {boxes.calls()[0].text, service.connections()};
    }

    std::wstring GameCommandLine(const std::wstring& arguments) const
    {
        return L"\"" + folder_.root() + L"\\Main.exe\" " + arguments;
    }

    launchtest::ClientFolder folder_;
    launchtest::StandInMainWindow window_;
    launchtest::MessageBoxRecorder boxes_;
    LauncherConfig config_ = BuildDefaultConfig();
    RegionInfo region_;
    bool hasRegions_ = false;
    bool hasSelection_ = false;
};

TEST_F(EnterGameTest, AcceptedLaunchStartsTheGameWithTheConnectServer)
{
    const AuthService service({"ERR NO_CAPTCHA\n", "OK AUTH\t127.0.0.1\t7001\n"});
    UseRegion(service.port());

    Launch();

    const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), GameCommandLine(L"Updater /u127.0.0.1 /p7001"));
    EXPECT_EQ(record->at(L"VORN_SERVER_HOST"), L"127.0.0.1");
    EXPECT_EQ(record->at(L"VORN_SERVER_PORT"), L"7001");
    EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), Utf8ToWide(kSerial));
    EXPECT_EQ(record->at(L"working_directory"), folder_.root());
    EXPECT_TRUE(boxes_.calls().empty());
    EXPECT_TRUE(IsIconic(window_.get()));
    EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_CLIENT_SERIAL").has_value());
    EXPECT_EQ(probe::ReadFileBytes(folder_.ConnectFile()), std::string(kConnectBlock.begin(), kConnectBlock.end()));

    const std::vector<std::string> requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "CAPTCHA");
    const std::wstring hardwareId = GetHardwareId();
    EXPECT_FALSE(hardwareId.empty());
    const std::string expected = std::string("AUTH\t2.62.81\t13.8\t") + kSerial + "\t" +
                                 WideToUtf8(BuildClientId(L"", hardwareId)) + "\t" +
                                 WideToUtf8(hardwareId) + "\t";
    EXPECT_EQ(requests[1], expected);
}

TEST_F(EnterGameTest, TheAccountIsTheClientId)
{
    const AuthService service({"ERR\n", ""});
    UseRegion(service.port());

    Launch(L"player one");

    EXPECT_EQ(OnlyMessage(MB_ICONERROR), L"服务器启动认证失败：服务器无响应。");
    const std::vector<std::string> requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::vector<std::string> fields = AuthFields(requests[1]);
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[4], "player one");
}

TEST_F(EnterGameTest, SixteenCharacterDynamicCodeReplacesTheSerialEverywhere)
{
    const AuthService service({"OK CAPTCHA\tQ7w!E9r#T1y$U3i%\n", "OK AUTH\t127.0.0.1\t7002\n"});
    UseRegion(service.port());

    Launch();

    const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), L"Q7w!E9r#T1y$U3i%");
    const std::vector<std::string> requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::vector<std::string> fields = AuthFields(requests[1]);
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[3], "Q7w!E9r#T1y$U3i%");
    EXPECT_EQ(fields[6], "Q7w!E9r#T1y$U3i%");
}

TEST_F(EnterGameTest, OtherDynamicCodesGoOnlyIntoTheLastField)
{
    const std::pair<std::string, std::string> cases[] = {
        {"OK CAPTCHA\tABCDEFGHIJKLMNO\n", "ABCDEFGHIJKLMNO"},   // 15 characters
        {"OK CAPTCHA\t\n", ""},                                 // empty code
        {"OK CAPTCHA\n", ""},                                   // no second field
        {"OK CAPTCHA\tABCDEFGHIJKLMNOP\textra\n", ""},          // three fields
        {"ok captcha\tABCDEFGHIJKLMNOP\n", ""},                 // case matters
        {"ERR CAPTCHA_OFF\n", ""},
        {"", ""},                                               // no reply at all
    };
    for (const auto& [captchaReply, lastField] : cases) {
        SCOPED_TRACE(captchaReply);
        const AuthService service({captchaReply, "OK AUTH\t127.0.0.1\t7003\n"});
        UseRegion(service.port());

        Launch();

        const std::vector<std::string> requests = service.requests();
        ASSERT_EQ(requests.size(), 2u);
        const std::vector<std::string> fields = AuthFields(requests[1]);
        ASSERT_EQ(fields.size(), 7u);
        EXPECT_EQ(fields[3], kSerial);
        EXPECT_EQ(fields[6], lastField);
        const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), Utf8ToWide(kSerial));
        DeleteFileW((folder_ / L"game_record.txt").c_str());
    }
    EXPECT_TRUE(boxes_.calls().empty());
}

TEST_F(EnterGameTest, EveryRefusalShowsItsReasonAndStartsNothing)
{
    const std::pair<std::string, std::wstring> cases[] = {
        {"ERR AUTH_FORMAT", L"启动认证请求格式错误。"},
        {"ERR CLIENT_VERSION", L"客户端版本或序列号不正确。"},
        {"ERR CLIENT_ID", L"账号或硬件标识无效。"},
        {"ERR CAPTCHA", L"动态验证码无效，请重试。"},
        {"ERR BLOCKED", L"账号或硬件标识已被封禁。"},
        {"ERR IP_BLOCKED", L"当前网络地址已被禁止访问。"},
        {"ERR TOO_MANY_CONNECTIONS", L"当前网络地址的连接数过多。"},
        {"ERR ASSISTANT_OFF", L"服务端已关闭游戏助手和启动认证。"},
        {"ERR BLOCKED ", L"服务器拒绝了启动认证请求。"},
        {"ERR", L"服务器拒绝了启动认证请求。"},
        {"OK AUT", L"服务器拒绝了启动认证请求。"},
        {"OK CAPTCHA\tABCDEFGHIJKLMNOP", L"服务器拒绝了启动认证请求。"},
    };
    for (const auto& [reply, reason] : cases) {
        SCOPED_TRACE(reply);
        EXPECT_EQ(ErrorForReply(reply), std::make_pair(L"服务器启动认证失败：" + reason, 2));
    }
    EXPECT_FALSE(folder_.GameStarted());
    EXPECT_FALSE(IsIconic(window_.get()));
}

TEST_F(EnterGameTest, SilentOrMissingServiceIsNoResponse)
{
    {
        const AuthService service({"", ""});
        UseRegion(service.port());
        Launch();
        EXPECT_EQ(OnlyMessage(MB_ICONERROR), L"服务器启动认证失败：服务器无响应。");
    }
    {
        const launchtest::MessageBoxRecorder boxes;
        UseRegion(probe::UnusedPort());
        Launch();
        ASSERT_EQ(boxes.calls().size(), 1u);
        EXPECT_EQ(boxes.calls()[0].text, L"服务器启动认证失败：服务器无响应。");
    }
    EXPECT_FALSE(folder_.GameStarted());
}

// The CAPTCHA and AUTH exchanges share one deadline: a service that never accepts costs the player one, not two.
TEST_F(EnterGameTest, ServiceThatNeverAcceptsIsNoResponseWithinOneDeadline)
{
    const probe::NeverAcceptingListener listener;
    ASSERT_TRUE(listener.full()) << "the listener's queue could not be filled";
    UseRegion(listener.port());
    const ULONGLONG started = GetTickCount64();
    Launch();
    const ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_EQ(OnlyMessage(MB_ICONERROR), L"服务器启动认证失败：服务器无响应。");
    EXPECT_GE(elapsed, kExchangeDeadlineMs - 200);
    EXPECT_LT(elapsed, kExchangeDeadlineMs + 2000);
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, MalformedAcceptanceIsReportedAndStartsNothing)
{
    const std::pair<std::string, std::wstring> cases[] = {
        {"OK AUTH\t127.0.0.1", L"服务器返回的启动认证响应格式无效。"},
        {"OK AUTH\t127.0.0.1\t7000\textra", L"服务器返回的启动认证响应格式无效。"},
        {"OK AUTH\t127.0.0.1\t0", L"服务器返回的连接服务器端口无效。"},
        {"OK AUTH\t127.0.0.1\t70000", L"服务器返回的连接服务器端口无效。"},
        {"OK AUTH\t127.0.0.1\t-7000", L"服务器返回的连接服务器端口无效。"},
        {"OK AUTH\t127.0.0.1\tport", L"连接分区认证服务时发生错误。"},
        {"OK AUTH\t127.0.0.1\t99999999999", L"连接分区认证服务时发生错误。"},
    };
    for (const auto& [reply, message] : cases) {
        SCOPED_TRACE(reply);
        EXPECT_EQ(ErrorForReply(reply).first, message);
    }
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, AcceptanceReadsThePortLikeAStandardConversion)
{
    // Leading white space and trailing characters are allowed.
    const AuthService service({"ERR\n", "OK AUTH TICKET 9\tgame-1.example\t 7004th\n"});
    UseRegion(service.port());

    Launch();

    const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), GameCommandLine(L"Updater /ugame-1.example /p7004"));
    EXPECT_EQ(record->at(L"VORN_SERVER_HOST"), L"game-1.example");
    EXPECT_TRUE(boxes_.calls().empty());
}

TEST_F(EnterGameTest, DynamicCodeWithASpaceIsSentButFailsTheClientCodeCheck)
{
    const AuthService service({"OK CAPTCHA\tABCDEFG IJKLMNOP\n", "OK AUTH\t127.0.0.1\t7005\n"});
    UseRegion(service.port());

    Launch();

    EXPECT_EQ(OnlyMessage(MB_ICONERROR), L"服务器返回的客户端验证码必须是 16 位 ASCII 字符。");
    const std::vector<std::string> requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::vector<std::string> fields = AuthFields(requests[1]);
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[3], "ABCDEFG IJKLMNOP");
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, AuthorisationOffNeverConnects)
{
    const AuthService service({"OK CAPTCHA\tABCDEFGHIJKLMNOP\n", "OK AUTH\t127.0.0.1\t7006\n"});
    LauncherConfig config = BuildDefaultConfig();
    config.launchAuthEnabled = false;
    UseConfig(config);
    UseRegion(service.port());

    Launch();

    const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    const std::wstring port = std::to_wstring(service.port());
    EXPECT_EQ(record->at(L"command_line"), GameCommandLine(L"Updater /u127.0.0.1 /p" + port));
    EXPECT_EQ(record->at(L"VORN_SERVER_PORT"), port);
    EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), Utf8ToWide(kSerial));
    EXPECT_TRUE(IsIconic(window_.get()));
    EXPECT_EQ(service.connections(), 0);
    EXPECT_TRUE(boxes_.calls().empty());
}

TEST_F(EnterGameTest, AuthorisationOffStillChecksTheSerial)
{
    const AuthService service({"ERR\n", "OK AUTH\t127.0.0.1\t7007\n"});
    for (const std::wstring serial : {L"739510482615304", L"73951048261530499", L"7395104826 53049", L"73951048261530é9"}) {
        SCOPED_TRACE(serial);
        const launchtest::MessageBoxRecorder boxes;
        LauncherConfig config = BuildDefaultConfig();
        config.launchAuthEnabled = false;
        config.clientSerial = serial;
        UseConfig(config);
        UseRegion(service.port());

        Launch();

        ASSERT_EQ(boxes.calls().size(), 1u);
        EXPECT_EQ(boxes.calls()[0].text, L"服务器返回的客户端验证码必须是 16 位 ASCII 字符。");
    }
    EXPECT_EQ(service.connections(), 0);
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, StateChecksComeBeforeAnything)
{
    const AuthService service({"ERR\n", "OK AUTH\t127.0.0.1\t7008\n"});

    {
        const launchtest::MessageBoxRecorder boxes;
        UseRegion(service.port());
        hasRegions_ = false;
        Launch();
        ASSERT_EQ(boxes.calls().size(), 1u);
        EXPECT_EQ(boxes.calls()[0].text, L"暂无可用游戏分区。请先配置并启动多区列表服务端。");
        EXPECT_EQ(boxes.calls()[0].caption, kCaption);
        EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    }
    {
        const launchtest::MessageBoxRecorder boxes;
        UseRegion(service.port());
        hasSelection_ = false;
        Launch();
        ASSERT_EQ(boxes.calls().size(), 1u);
        EXPECT_EQ(boxes.calls()[0].text, L"请先选择一个游戏分区。");
        EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    }
    EXPECT_FALSE(probe::FileExists(folder_ / L"Data"));
    EXPECT_EQ(service.connections(), 0);
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, UnwritableConnectionFileStopsBeforeTheNetwork)
{
    const AuthService service({"ERR\n", "OK AUTH\t127.0.0.1\t7009\n"});
    UseRegion(service.port());
    // "Data" as a file: the connection file's folder cannot be made.
    probe::WriteFileBytes(folder_ / L"Data", "not a folder");

    Launch();

    EXPECT_EQ(OnlyMessage(MB_ICONERROR),
              L"无法写入游戏连接配置：\nData\\Local\\Connect.msil\n\n请确认客户端目录可写，并检查安全软件是否拦截。");
    EXPECT_FALSE(probe::FileExists(folder_.ConnectFile() + L".launcher.tmp"));
    EXPECT_EQ(service.connections(), 0);
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, ReferenceServiceIssuesTheCodeTheGameReceives)
{
    const probe::ReferenceService service({L"--host", L"127.0.0.1", L"--no-directory", L"--auth-port", L"0",
                                           L"--connect-port", L"7010"});
    ASSERT_TRUE(service.running()) << service.failure();
    ASSERT_EQ(service.authPorts().size(), 1u);
    UseRegion(service.authPorts()[0]);

    Launch();

    const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value()) << service.Log();
    EXPECT_EQ(record->at(L"command_line"), GameCommandLine(L"Updater /u127.0.0.1 /p7010"));
    const std::wstring code = record->at(L"VORN_CLIENT_SERIAL");
    EXPECT_EQ(code.size(), 16u);
    EXPECT_NE(code, Utf8ToWide(kSerial));
    EXPECT_NE(service.Log().find(WideToUtf8(code)), std::string::npos) << service.Log();
    EXPECT_TRUE(boxes_.calls().empty());
}

// The connect host reaches the game as the service names it: empty, with underscores, a trailing dot, in Chinese
// or with an IPv6 zone; the resolver, not the launcher, judges a name.
TEST_F(EnterGameTest, ReferenceServiceAcceptanceHostReachesTheGameAsItIs)
{
    // Escaped for the service, and as the game gets it.
    const std::pair<std::wstring, std::wstring> hosts[] = {
        {L"", L""}, {L"game_server.lan.", L"game_server.lan."}, {L"\\u5c9a\\u8c37.\\u4e2d\\u56fd", L"岚谷.中国"},
        {L"fe80::1%1", L"fe80::1%1"}};
    for (const auto& [escaped, host] : hosts) {
        SCOPED_TRACE(WideToUtf8(host));
        const probe::ReferenceService service({L"--host", L"127.0.0.1", L"--no-directory", L"--auth-port", L"0",
                                               L"--auth-reply-escaped", L"OK AUTH\\t" + escaped + L"\\t7012"});
        ASSERT_TRUE(service.running()) << service.failure();
        UseRegion(service.authPorts()[0]);

        Launch();

        const auto record = folder_.WaitGameRecord(kGameRecordTimeoutMs);
        ASSERT_TRUE(record.has_value()) << service.Log();
        EXPECT_EQ(record->at(L"command_line"), GameCommandLine(L"Updater /u" + host + L" /p7012"));
        EXPECT_EQ(record->at(L"VORN_SERVER_HOST"), host);
        EXPECT_TRUE(boxes_.calls().empty());
        DeleteFileW((folder_ / L"game_record.txt").c_str());
    }
}

// The host goes onto the game's command line and into its environment: one that could split or reorder it is a
// malformed acceptance, and nothing starts.
TEST_F(EnterGameTest, ReferenceServiceAcceptanceWithAHostileHostStartsNothing)
{
    // Escaped for the service: with a space, an ideographic space, a quote, a NUL, a right-to-left override.
    for (const std::wstring host : {L"127.0.0.1 /p1", L"127.0.0.1\\u3000/p1", L"127.0.0.1\\x22 /p1",
                                    L"127.0.0.1\\x00 /p1", L"\\u202e1.0.0.721"}) {
        SCOPED_TRACE(host);
        const launchtest::MessageBoxRecorder boxes;
        const probe::ReferenceService service({L"--host", L"127.0.0.1", L"--no-directory", L"--auth-port", L"0",
                                               L"--auth-reply-escaped", L"OK AUTH\\t" + host + L"\\t7012"});
        ASSERT_TRUE(service.running()) << service.failure();
        UseRegion(service.authPorts()[0]);

        Launch();

        ASSERT_EQ(boxes.calls().size(), 1u) << service.Log();
        EXPECT_EQ(boxes.calls()[0].text, L"服务器返回的启动认证响应格式无效。");
    }
    EXPECT_FALSE(folder_.GameStarted());
}

TEST_F(EnterGameTest, ReferenceServiceRefusesAnotherClientVersion)
{
    const probe::ReferenceService service({L"--host", L"127.0.0.1", L"--no-directory", L"--auth-port", L"0",
                                           L"--client-version", L"9.9.9"});
    ASSERT_TRUE(service.running()) << service.failure();
    ASSERT_EQ(service.authPorts().size(), 1u);
    UseRegion(service.authPorts()[0]);

    Launch();

    EXPECT_EQ(OnlyMessage(MB_ICONERROR), L"服务器启动认证失败：客户端版本或序列号不正确。");
    EXPECT_FALSE(folder_.GameStarted());
}

// A click on the first region button, then on "进入游戏"; true once the launch is decided and the window
// minimised. The authorisation runs on the window's job thread; its finish, on this thread, starts the game.
bool ClickFirstRegionAndEnterGame(const harness::MainWindowUnderTest& window)
{
    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(kFirstRegionButtonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window.control(kFirstRegionButtonId)));
    EXPECT_TRUE(IsWindowEnabled(window.control(kEnterGameButtonId)));
    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(kEnterGameButtonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window.control(kEnterGameButtonId)));
    return harness::PumpUntil([&] { return !window.state().busy && IsIconic(window.hwnd()); }, kGameRecordTimeoutMs);
}

// The whole road through the launcher's own window: the region list from a directory on loopback, a click on the
// first region button, a click on "进入游戏", the game started and the window minimised, not closed.
TEST(EnterGameFromTheWindow, RegionClickAndEnterGameStartTheGameAndMinimiseTheWindow)
{
    const AuthService auth({"OK CAPTCHA\tZXCVBNMASDFGHJKL\n", "OK AUTH\t127.0.0.1\t7011\n"});
    const std::string regionLine = "REGION\t1\tRealm 1\t127.0.0.1\t" + std::to_string(auth.port()) + "\t\n";
    std::unique_ptr<probe::LoopbackPeer> directory;
    std::string address;
    for (int attempt = 0; attempt < 5 && !(directory && directory->listening()); ++attempt) {
        address = probe::RandomLoopbackAddress();
        directory = std::make_unique<probe::LoopbackPeer>(
            probe::AnswerAndHold("OK LIST 1\n" + regionLine + "END\n"), AF_INET, address, 33556);
    }
    ASSERT_TRUE(directory->listening());

    const harness::MainWindowUnderTest window({.automaticUpdate = false, .shown = true});
    const launchtest::ClientFolder folder;
    const launchtest::ScopedClientRoot root(folder.root());
    LauncherConfig config = Config();
    config.serverHost = Utf8ToWide(address);
    const launchtest::ScopedConfig scopedConfig(std::move(config));
    const harness::MessageBoxRecorder boxes({IDOK});

    StartRegionListLoad(window.object());
    ASSERT_TRUE(harness::PumpUntil([&] { return !window.state().busy && window.state().hasRegions; }, 15000));
    ASSERT_TRUE(ClickFirstRegionAndEnterGame(window));
    const auto record = folder.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), L"\"" + folder.root() + L"\\Main.exe\" Updater /u127.0.0.1 /p7011");
    EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), L"ZXCVBNMASDFGHJKL");
    EXPECT_TRUE(window.exists());
    EXPECT_TRUE(IsIconic(window.hwnd()));
    EXPECT_TRUE(boxes.calls().empty());
    EXPECT_EQ(auth.connections(), 2);
}

// Every test build carries the stand-in connection block, which the game cannot use. Finding the player's own
// connection file, it leaves the file as it is, starts the game all the same and says so on the status line.
TEST(EnterGameFromTheWindow, StandInBuildLeavesAnotherConnectionFileAndSaysSo)
{
    ASSERT_TRUE(kConnectBlockIsStandIn);
    const AuthService auth({"ERR\n", "OK AUTH\t127.0.0.1\t7013\n"});
    const harness::MainWindowUnderTest window({.automaticUpdate = false, .shown = true});
    const launchtest::ClientFolder folder;
    const launchtest::ScopedClientRoot root(folder.root());
    ASSERT_TRUE(CreateDirectoryW((folder / L"Data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder / L"Data\\Local").c_str(), nullptr));
    const std::string playersOwn(kConnectBlockSize, 'R');
    probe::WriteFileBytes(folder.ConnectFile(), playersOwn);
    const harness::MessageBoxRecorder boxes({IDOK});

    window.DeliverRegionList(harness::RegionsNamed({L"一区"}, auth.port()));
    ASSERT_TRUE(ClickFirstRegionAndEnterGame(window));
    const auto record = folder.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), L"\"" + folder.root() + L"\\Main.exe\" Updater /u127.0.0.1 /p7013");
    EXPECT_EQ(probe::ReadFileBytes(folder.ConnectFile()), playersOwn);
    EXPECT_EQ(window.state().statusText, kConnectFileKeptText);
    EXPECT_TRUE(boxes.calls().empty());
}

}
