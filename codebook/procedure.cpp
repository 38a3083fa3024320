#include "procedure.h"

#include "cbkoutput.h"
#include "host/output.h"
#include "host/parser.h"
#include "host/quvo.h"
#include "parser/cbkparser.h"

namespace codebook {

void RunCodebookCommand() {
  // Automatic objects: they are destroyed in the reverse order of their
  // construction — parser (with its settings), sink, data source, heading —
  // also when the data pass throws.
  BpProcedure procedure("Codebook", 1);
  ProcedureDataSource dataSource;
  ParserMessage messages;
  CodebookParser parser(dataSource, messages);

  // Syntax first, so that its messages appear even when the dataset is
  // unusable; then the dataset, each test only when the one before passed.
  if (!parser.parse()) return;
  if (dataSource.FatalError()) return;
  if (dataSource.ColumnCount() == 0) return;

  CodebookSettings* settings = parser.GetSettings();
  CodebookRun run(settings, &dataSource, &procedure, &messages);
  run.Run();
}

}  // namespace codebook
