// One invocation of the CODEBOOK command, as the exported entry point runs it.
#pragma once

namespace codebook {

// Creates the procedure heading, the data source, the message sink and the
// parser; runs the command when the syntax and the dataset allow it; destroys
// everything before returning.
void RunCodebookCommand();

}  // namespace codebook
