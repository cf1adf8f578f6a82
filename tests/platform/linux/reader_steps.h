// Every step of a certificate file reader as text (the block's bytes, or the problem and
// its line), so two readers of the same bytes can be compared whole.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/stores/cert_file_reader.h"

namespace kestrune {

inline std::vector<std::string> readerSteps(CertificateFileReader& reader) {
    std::vector<std::string> out;
    CertificateFileReader::Block block;
    std::string problem;
    for (;;) {
        const auto step = reader.nextBlock(block, problem);
        if (step == CertificateFileReader::Step::End) {
            return out;
        }
        if (step == CertificateFileReader::Step::Broken) {
            out.push_back("broken at " + std::to_string(reader.problemLine()) + ": " + problem);
            continue;
        }
        out.push_back((block.trusted ? "trusted " : "plain ") +
                      std::string(reinterpret_cast<const char*>(block.der), block.size));
    }
}

}  // namespace kestrune
