// How notifications are written into Notify and how clicked keys are read back.
#include "platform/posix/dbus/notify_payload.h"

#include <gtest/gtest.h>

#include <tuple>

#include "jobs/job_protocol.h"

namespace activator::dbus {
namespace {

// The port reads these words in the arguments the job notifications build.
static_assert(kActionArgument == kFieldAction.text());
static_assert(kBodyClickAction == kButtonSave.text());
static_assert(kStateArgument == kFieldJobState.text());
static_assert(kCriticalState == kStateError.text());

TEST(NotifyPayloadTest, ActionKeyCarriesAnyArgumentsUnchanged) {
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  const Arguments arguments = {
      {"acao", "salvar"}, {"id_execucao", "a&b=c%20 d+e"}, {"estado", every_byte}, {"", ""}};
  const std::string key = EncodeActionKey(arguments);
  EXPECT_EQ(key.rfind("zorvell:acao=salvar&id_execucao=a%26b%3Dc%2520%20d%2Be&estado=", 0), 0u);
  auto decoded = DecodeActionKey(key);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(
      *decoded,
      (std::map<std::string, std::string>{
          {"acao", "salvar"}, {"id_execucao", "a&b=c%20 d+e"}, {"estado", every_byte}, {"", ""}}));
  // A button without arguments gives a click without arguments.
  EXPECT_EQ(EncodeActionKey({}), "zorvell:");
  EXPECT_EQ(DecodeActionKey("zorvell:"), (std::map<std::string, std::string>{}));
}

TEST(NotifyPayloadTest, ForeignOrMalformedKeysAreRefused) {
  for (const char* key : {"default", "", "zorvell", "Zorvell:acao=x", "other:acao=x",
                          "zorvell:acao", "zorvell:acao=x&", "zorvell:acao=%4", "zorvell:acao=%G1",
                          "zorvell:%=x", "zorvell:&acao=x"}) {
    EXPECT_FALSE(DecodeActionKey(key)) << key;
  }
}

TEST(NotifyPayloadTest, BodyIsEscapedMarkup) {
  EXPECT_EQ(EscapeBodyMarkup("<b>a & b</b> \"c\""), "&lt;b&gt;a &amp; b&lt;/b&gt; \"c\"");
  EXPECT_EQ(EscapeBodyMarkup("&amp;"), "&amp;amp;");
}

TEST(NotifyPayloadTest, ImagePathComesFromFileAddresses) {
  EXPECT_EQ(ImagePathFromAddress("file:///lab/Assets/ZorvellNotify2.png"),
            "/lab/Assets/ZorvellNotify2.png");
  EXPECT_EQ(ImagePathFromAddress("file:///my%20lab/a.png"), "/my lab/a.png");
  EXPECT_EQ(ImagePathFromAddress("file://localhost/a.png"), "/a.png");
  // Anything else is passed on for the server to make sense of.
  EXPECT_EQ(ImagePathFromAddress("file:///C:/Zorvell_Lab/a.png"), "/C:/Zorvell_Lab/a.png");
  EXPECT_EQ(ImagePathFromAddress("https://example.org/a.png"), "https://example.org/a.png");
  EXPECT_EQ(ImagePathFromAddress("file://host/a.png"), "file://host/a.png");
  EXPECT_EQ(ImagePathFromAddress("file:///bad%zz.png"), "file:///bad%zz.png");
}

TEST(NotifyPayloadTest, RequestMapsTextsButtonsImageAndTag) {
  NotificationContent content;
  content.tag = "J<1>";
  content.group = "zorvell_processos";
  content.texts = {"Zorvell Lab", "Processo em andamento"};
  content.image_address = "file:///lab/Assets/ZorvellNotify2.png";
  content.buttons = {
      {"abortar", {{"acao", "abortar"}, {"id_execucao", "J<1>"}, {"estado", "executando"}}}};
  NotifyRequest request = BuildNotifyRequest(content);
  EXPECT_EQ(request.summary, "Zorvell Lab");
  // The tag on its own line keeps two jobs from reading as duplicates.
  EXPECT_EQ(request.body, "Processo em andamento\nJ&lt;1&gt;");
  EXPECT_EQ(request.actions,
            (std::vector<std::string>{"zorvell:acao=abortar&id_execucao=J%3C1%3E&estado=executando",
                                      "abortar", "default", "Abrir"}));
  EXPECT_EQ(request.image_path, "/lab/Assets/ZorvellNotify2.png");
  EXPECT_EQ(request.stack_tag, "J<1>|zorvell_processos");
  // A body click never stands for a button that ends the job.
  EXPECT_EQ(request.body_click_key, "");
  EXPECT_FALSE(request.critical);

  // A final form: the body stands for its button; an error is critical.
  content.buttons = {{"Exibir Resultado", {{"acao", "salvar"}, {"estado", "erro"}}}};
  request = BuildNotifyRequest(content);
  EXPECT_EQ(request.body_click_key, "zorvell:acao=salvar&estado=erro");
  EXPECT_TRUE(request.critical);

  // A description, the count of waiting jobs and a progress bar.
  content.texts.push_back("make -j8");
  content.attribution = "+3 na fila";
  content.progress = 40;
  request = BuildNotifyRequest(content);
  EXPECT_EQ(request.body, "Processo em andamento\nmake -j8\n+3 na fila\nJ&lt;1&gt;");
  EXPECT_EQ(request.progress, 40);
  EXPECT_EQ(HabitsOfServer("dunst").value_hides_content, false);
  // Which one a server draws first, as measured in their stock
  // configurations: MATE's daemon shares notification-daemon's name.
  EXPECT_EQ(DrawOrderOfServer("dunst", "knopwob"),
            (CentreOrder{.newest_first = false, .replacement_is_new = false, .urgent_first = true}));
  for (const auto& [name, vendor, newest_first] :
       {std::tuple("Notification Daemon", "GNOME", false), {"Plasma", "KDE", false},
        {"Notification Daemon", "MATE", true}, {"mako", "emersion", true}})
    EXPECT_EQ(DrawOrderOfServer(name, vendor).newest_first, newest_first) << name << vendor;

  // An id's bytes reach the server's body only as something people can read:
  // a line end cannot forge a line, an escape or an override cannot act;
  // the tag and the arguments stay byte for byte. A description holding an
  // override is isolated, so the lines around it read as written.
  const std::string forged = "L1\n+7 na fila\x1b[31m\u202e\u2067\u0085x";
  content.tag = forged;
  content.buttons = {{"abortar", {{"id_execucao", forged}}}};
  content.texts = {"Zorvell Lab", "Processo em andamento", "\u202emake"};
  content.attribution.clear();
  request = BuildNotifyRequest(content);
  EXPECT_EQ(request.body, "Processo em andamento\n\u2068\u202emake\u2069\n"
                          "L1\\n+7 na fila\\x1b[31m\\u202e\\u2067\\x85x");
  EXPECT_EQ(request.stack_tag, forged + "|zorvell_processos");
  EXPECT_EQ(DecodeActionKey(request.actions[0])->at("id_execucao"), forged);

  // Nothing but an empty tag: empty texts, no image, no actions.
  NotifyRequest bare = BuildNotifyRequest(NotificationContent{});
  EXPECT_EQ(bare.summary, "");
  EXPECT_EQ(bare.body, "");
  EXPECT_EQ(bare.actions, (std::vector<std::string>{"default", "Abrir"}));
  EXPECT_FALSE(bare.progress);
  EXPECT_EQ(bare.body_click_key, "");
  EXPECT_FALSE(bare.image_path);
  EXPECT_EQ(bare.stack_tag, "|");
}

}  // namespace
}  // namespace activator::dbus
