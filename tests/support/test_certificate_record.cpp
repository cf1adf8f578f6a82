#include "tests/support/test_certificate_record.h"

#include <cstring>

#include "tests/support/test_certificate.h"

namespace kestrune::testing {

CertificateRecord testCertificateRecord(std::string_view store, std::string_view location) {
    namespace fixture = test_certificate;
    CertificateRecord r = zeroRecord();
    setRecordText(r.name, std::string_view(fixture::kRecordName));
    std::memcpy(r.serialNumber, fixture::kSerialMsbFirst, sizeof fixture::kSerialMsbFirst);
    r.serialLength = sizeof fixture::kSerialMsbFirst;
    std::memcpy(r.subjectNameHash, fixture::kSubjectNameMd5, sizeof fixture::kSubjectNameMd5);
    r.subjectNameHashLength = sizeof fixture::kSubjectNameMd5;
    setRecordText(r.storeName, store);
    setRecordText(r.locationName, location);
    return r;
}

}  // namespace kestrune::testing
