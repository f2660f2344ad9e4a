// The business-object client: request documents, endpoints, and the "ow"
// integration objects finding their instance. (Calls against the simulated
// back end are in the tests of the allocation and line status stages.)
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "platform/backend/business_objects.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;

namespace {

TEST(BusinessObjectRequest, ValuesAreEscapedAndComeBackAsSentThroughTheDom) {
    std::string tricky = "SO<1>&\"2' ]]>";
    std::string xml = qx::BoiRequestDocument("Allocation BOI", "b\"c", "", {{"OrderNumber", tricky}, {"PositionNumber", 7}});
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
    auto root = doc.child("BOIREQUEST");
    EXPECT_STREQ(root.attribute("OBJECT").value(), "Allocation BOI");
    EXPECT_STREQ(root.attribute("BACKENDTYPE").value(), "b\"c");
    EXPECT_EQ(std::string(root.find_child_by_attribute("PARAMETER", "NAME", "OrderNumber").text().get()), tricky);
    EXPECT_STREQ(root.find_child_by_attribute("PARAMETER", "NAME", "PositionNumber").text().get(), "7");
}

TEST(BusinessObjectRequest, PlainHttpGoesOnlyToLoopbackAndADeadEndpointIsNoReply) {
    qx::BoiEndpoint endpoint;
    endpoint.url = "http://backend.invalid/boi";  // refused before any lookup
    EXPECT_THROW(qx::PostBoiRequest(endpoint, "<BOIREQUEST/>"), ole::AutomationError);
    endpoint.url = "http://127.0.0.1:1/boi";
    try {
        qx::PostBoiRequest(endpoint, "<BOIREQUEST/>");
        FAIL() << "a closed port answered";
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), qx::backend_err::BoiNoReply);
    }
}

class BackendIntegration : public InstallationTest {};

TEST_P(BackendIntegration, InitializeActionFindsTheInstanceByComponentIdAndNeedsItsEndpoint) {
    Inst().Exec(
        "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (4, 'ow4');"
        "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (5, 'ow5');"
        "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (4, 'ComponentID', ' OW4 ');"
        "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (4, 'boiurl', 'http://127.0.0.1:1/boi');"
        "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (5, 'componentid', 'OW5');");
    auto allocate = Sls_GetComponent<qx::IBackendAllocate>("VendaloBackendIntegration.Allocate");
    int32_t status = -1, error = 0;
    allocate->InitializeAction("ow4", "OW4", status);
    EXPECT_EQ(status, 0);
    allocate->InitializeAction("ow5", "OW5", status);
    EXPECT_EQ(status, 2);  // no boiurl
    allocate->InitializeAction("ow5", "O'W6", status);
    EXPECT_EQ(status, 1);  // no such component
    EXPECT_THROW(allocate->Allocate("SO1", 1, error), ole::AutomationError);
}

INSTANTIATE_INSTALLATION_TEST(BackendIntegration);

}  // namespace
