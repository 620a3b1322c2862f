#include "jobs/job_message.h"

#include <gtest/gtest.h>

namespace activator {
namespace {

JobMessage Parse(std::string_view text) {
  ParsedJobMessage parsed = ParseJobMessage(text);
  EXPECT_EQ(parsed.problem, JobMessageProblem::kNone) << text;
  return parsed.message;
}

void ExpectFields(std::string_view text, const char* action, const char* id, const char* pipe,
                  const char* state) {
  JobMessage m = Parse(text);
  EXPECT_EQ(m.action, action) << text;
  EXPECT_EQ(m.job_id, id) << text;
  EXPECT_EQ(m.reply_pipe, pipe) << text;
  EXPECT_EQ(m.job_state, state) << text;
}

TEST(JobMessageTest, WellFormedMessages) {
  ExpectFields("acao=continuar&id_execucao=J1&pipe=P1&estado=executando", "continuar", "J1", "P1",
               "executando");
  ExpectFields("acao=atualizar&id_execucao=J1&estado=erro", "atualizar", "J1", "", "erro");
  ExpectFields("acao=continuar&id_execucao=J2", "continuar", "J2", "", "");
  ExpectFields("acao=abortar&id_execucao=J1&pipe=P3&estado=x", "abortar", "J1", "P3", "x");
  ExpectFields("acao=Continuar&id_execucao=J1", "Continuar", "J1", "", "");
}

TEST(JobMessageTest, StateIsAlwaysTheLastField) {
  ExpectFields("acao=atualizar&id_execucao=J7&estado=concluido&pipe=P", "atualizar", "J7", "P",
               "concluido&pipe=P");
}

TEST(JobMessageTest, ExtraFieldsLandWhereTheRulesPutThem) {
  // After the id: ignored.
  ExpectFields("acao=continuar&id_execucao=J3&x=1&estado=y", "continuar", "J3", "", "y");
  // Between the pipe and the state: part of the pipe name.
  ExpectFields("acao=continuar&id_execucao=J3&pipe=P&x=1&estado=y", "continuar", "J3", "P&x=1",
               "y");
  // Before the id: part of the action.
  ExpectFields("acao=continuar&x=1&id_execucao=J3", "continuar&x=1", "J3", "", "");
}

TEST(JobMessageTest, ValuesAreTakenByteForByte) {
  ExpectFields("acao= continuar &id_execucao= J 1 &pipe=%41&estado=executando\r\n", " continuar ",
               " J 1 ", "%41", "executando\r\n");
  ExpectFields("acao=continuar&id_execucao=&estado=", "continuar", "", "", "");
  ExpectFields("acao=&id_execucao=J", "", "J", "", "");
  ExpectFields("xxxxx&id_execucao=J", "", "J", "", "");
}

TEST(JobMessageTest, MalformedMessagesAreReportedNotRead) {
  EXPECT_EQ(ParseJobMessage("").problem, JobMessageProblem::kTooShort);
  EXPECT_EQ(ParseJobMessage("acao").problem, JobMessageProblem::kTooShort);
  EXPECT_EQ(ParseJobMessage("acao=continuar").problem, JobMessageProblem::kNoJobId);
  EXPECT_EQ(ParseJobMessage("acao=continuar&id=J1").problem, JobMessageProblem::kNoJobId);
  EXPECT_EQ(ParseJobMessage("&id_execucao=J1&estado=x").problem,
            JobMessageProblem::kJobIdInsideAction);
  EXPECT_EQ(ParseJobMessage("a&id_execucao=J1").problem, JobMessageProblem::kJobIdInsideAction);
}

// The id must come back from the notification platform as it went: only
// well-formed UTF-8 does. The other fields are not checked.
TEST(JobMessageTest, JobIdMustBeWellFormedUtf8) {
  for (const char* id : {"J\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80",
                         "\xef\xbf\xbd", "\xf4\x8f\xbf\xbd", "\xef\xb7\x8f", "\xef\xb7\xb0",
                         "\xf0\x9f\xbf\xbd", "\xf3\xbf\xbe\xbf", "\x7f"}) {
    EXPECT_EQ(
        Parse(std::string("acao=continuar&id_execucao=") + id + "&pipe=\xff&estado=\xfe").job_id,
        id);
  }
  for (const char* id :
       {"J1\xff", "\xfeJ1", "J\xc3", "\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80",
        "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe6\x97"}) {
    EXPECT_EQ(
        ParseJobMessage(std::string("acao=continuar&id_execucao=") + id + "&estado=x").problem,
        JobMessageProblem::kJobIdNotUtf8)
        << id;
  }
}

// The id is the notification's tag, which the platform bounds in UTF-16
// units: a character above U+FFFF counts twice.
TEST(JobMessageTest, JobIdMustFitANotificationTag) {
  const std::string smiley = "\xf0\x9f\x98\x80";  // U+1F600, two units
  std::string smileys;
  for (int i = 0; i < 32; ++i) smileys += smiley;
  const struct {
    std::string id;
    bool fits;
  } cases[] = {
      {std::string(64, 'j'), true},
      {std::string(65, 'j'), false},
      {std::string(64, 'j').replace(0, 1, "\xc3\xa9"), true},  // 65 bytes, 64 units
      {std::string(63, 'j') + "\xe6\x97\xa5", true},           // 66 bytes, 64 units
      {smileys, true},                                         // 128 bytes, 64 units
      {smileys + "j", false},                                  // 65 units
      {std::string(62, 'j') + smiley, true},
      {std::string(63, 'j') + smiley, false},
  };
  for (const auto& c : cases) {
    const ParsedJobMessage parsed =
        ParseJobMessage("acao=continuar&id_execucao=" + c.id + "&estado=x");
    EXPECT_EQ(parsed.problem, c.fits ? JobMessageProblem::kNone : JobMessageProblem::kJobIdTooLong)
        << c.id.size();
  }
  EXPECT_STREQ(DescribeJobMessageProblem(JobMessageProblem::kJobIdTooLong),
               "ID_EXECUCAO LONGO DEMAIS");
}

// Noncharacters are well-formed, but the session bus refuses a string that
// holds one, so such a job could never be shown: U+FDD0..U+FDEF and the last
// two code points of every plane.
TEST(JobMessageTest, JobIdMustHoldNoNoncharacter) {
  for (const char* id : {"J\xef\xb7\x90", "\xef\xb7\xaf", "\xef\xbf\xbeJ", "\xef\xbf\xbf",
                         "\xf0\x9f\xbf\xbe", "\xf2\xaf\xbf\xbf", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_EQ(
        ParseJobMessage(std::string("acao=continuar&id_execucao=") + id + "&estado=x").problem,
        JobMessageProblem::kJobIdNoncharacter)
        << id;
  }
  EXPECT_STREQ(DescribeJobMessageProblem(JobMessageProblem::kJobIdNoncharacter),
               "ID_EXECUCAO COM NAO-CARACTERE");
}

TEST(JobMessageTest, BytesEndAtTheFirstNulAndAtTheSizeLimit) {
  using namespace std::string_literals;
  EXPECT_EQ(JobMessageFromBytes("acao=x&id_execucao=J\0&estado=y"s), "acao=x&id_execucao=J");
  std::string long_message = "acao=continuar&id_execucao=J&estado=" + std::string(5000, 's');
  std::string_view cut = JobMessageFromBytes(long_message);
  EXPECT_EQ(cut.size(), kMaxJobMessageBytes);
  EXPECT_EQ(Parse(cut).job_state.size(), kMaxJobMessageBytes - 36);
  EXPECT_EQ(JobMessageFromBytes(""), "");
}

// The optional fields count only where the format ignores a field; anywhere
// else they stay part of the field around them, as a reader that does not
// know them would take it. A value that cannot be used is reported and left
// out; the message itself still counts.
TEST(JobMessageTest, OptionalFieldsCountOnlyWhereTheFormatIgnoresThem) {
  struct Row {
    std::string fields;  // between the id and the pipe
    std::optional<std::string> description;
    int progress;  // -1: none
    bool notice;
    std::vector<std::string> ignored;
  };
  const std::string long_text(kMaxDescriptionBytes, 'x');
  const std::vector<Row> rows = {
      {"", std::nullopt, -1, false, {}},
      {"&descricao=make%20-j8&progresso=40&avisos=fila", "make -j8", 40, true, {}},
      {"&x=1&progresso=0&descricao=caf%C3%A9+ol%c3%a1", "café+olá", 0, false, {}},
      {"&descricao=&progresso=100", "", 100, false, {}},
      {"&descricao=a&descricao=b", "a", -1, false, {}},
      {"&descricao=naïve", "naïve", -1, false, {}},
      {"&descricao=" + long_text, long_text, -1, false, {}},
      {"&descricao=" + long_text + "y", std::nullopt, -1, false,
       {"DESCRICAO INVALIDA=LONGA DEMAIS"}},
      {"&descricao=%2", std::nullopt, -1, false, {"DESCRICAO INVALIDA=CODIFICACAO"}},
      {"&descricao=%zz", std::nullopt, -1, false, {"DESCRICAO INVALIDA=CODIFICACAO"}},
      {"&descricao=%FF", std::nullopt, -1, false, {"DESCRICAO INVALIDA=NAO UTF-8"}},
      {"&descricao=a%0Ab", std::nullopt, -1, false, {"DESCRICAO INVALIDA=CARACTERE DE CONTROLE"}},
      {"&descricao=%C2%85", std::nullopt, -1, false, {"DESCRICAO INVALIDA=CARACTERE DE CONTROLE"}},
      {"&descricao=%EF%BF%BF", std::nullopt, -1, false, {"DESCRICAO INVALIDA=NAO-CARACTERE"}},
      {"&progresso=101", std::nullopt, -1, false, {"PROGRESSO INVALIDO=101"}},
      {"&progresso=-1", std::nullopt, -1, false, {"PROGRESSO INVALIDO=-1"}},
      {"&progresso=0040", std::nullopt, -1, false, {"PROGRESSO INVALIDO=0040"}},
      {"&progresso=", std::nullopt, -1, false, {"PROGRESSO INVALIDO="}},
      {"&progresso=4.5&avisos=todos", std::nullopt, -1, false,
       {"PROGRESSO INVALIDO=4.5", "AVISOS INVALIDO=todos"}},
  };
  for (const Row& row : rows) {
    for (const char* pipe : {"&pipe=P", ""}) {
      const std::string text =
          std::string("acao=continuar&id_execucao=J1") + row.fields + pipe + "&estado=executando";
      const JobMessage m = Parse(text);
      EXPECT_EQ(m.job_id, "J1") << text;
      EXPECT_EQ(m.reply_pipe, *pipe ? "P" : "") << text;
      EXPECT_EQ(m.job_state, "executando") << text;
      EXPECT_EQ(m.description, row.description) << text;
      EXPECT_EQ(m.progress, row.progress < 0 ? std::nullopt : std::optional<int>(row.progress))
          << text;
      EXPECT_EQ(m.wants_queue_notice, row.notice) << text;
      EXPECT_EQ(m.ignored_fields, row.ignored) << text;
      if (row.ignored.empty()) {
        EXPECT_EQ(Parse(FormatJobMessage(m)).description, m.description);
      }
    }
  }
  // Elsewhere: part of the action, the pipe name or the state.
  for (const char* text :
       {"acao=continuar&progresso=5&id_execucao=J1&estado=x",
        "acao=continuar&id_execucao=J1&pipe=P&progresso=5&estado=x",
        "acao=continuar&id_execucao=J1&estado=x&progresso=5",
        "acao=continuar&pipe=P&id_execucao=J1&progresso=5&estado=x"}) {
    EXPECT_EQ(Parse(text).progress, std::nullopt) << text;
  }
}

TEST(JobMessageTest, OptionalFieldsAreWrittenSoTheyReadBackTheSame) {
  JobMessage m{"continuar", "J1", "P1", "executando"};
  EXPECT_EQ(FormatJobMessage(m), "acao=continuar&id_execucao=J1&pipe=P1&estado=executando");
  m.description = "cc -O2 a&b.c = 100% «ok»";
  m.progress = 7;
  m.wants_queue_notice = true;
  const std::string text = FormatJobMessage(m);
  EXPECT_EQ(text.find('&', text.find("descricao=")), text.find("&progresso="));
  const JobMessage back = Parse(text);
  EXPECT_EQ(back.description, m.description);
  EXPECT_EQ(back.progress, 7);
  EXPECT_TRUE(back.wants_queue_notice);
  EXPECT_EQ(back.reply_pipe, "P1");
  EXPECT_EQ(back.job_state, "executando");
}

}  // namespace
}  // namespace activator
