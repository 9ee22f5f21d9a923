// The text of every result code of the registry operations, as the
// registration tool shows it. Portable: the Windows check builds and runs it too.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "RegistryOperations.h"

namespace {

TEST(RegistryMessages, EveryCodeHasItsMessage) {
    const std::map<int, std::string> messages = {
        {0, "Success"},
        {1, "Error : General Failure"},
        {2, "Error : Key does not exists in the registry"},
        {3, "Error : Value does not exists in the registry"},
        {4, "Error : Failed to remove configuration from the registry"},
        {5, "Error : Could not update Value in the registry"},
        {6, "Error : Could not find Value in the registry"},
        {7, "Error : Could not create Key in the registry"},
        {8, "Error : Korvel QSTA IP already in use"},
        {9, "Error : Cannot connect to Korvel QSTA. Check the inputs and try again"},
        {10, "Error : Invalid access Key. Check access Key and try again"},
        {11, "Error : Korvel QSTA configuration(s) not found in the Registry"},
        {12, "Error : Invalid input. Please provide valid inputs and try again"},
        {13, "Error : Couldn't add new array configuration due to incompatible version"},
        {14, "Error : Cannot read the certificate of the Korvel QSTA. Check the inputs and try again"},
        {15, "Error : Certificate not accepted. Nothing was recorded"},
        {16, "Error : General Failure"},
        {-1, "Error : General Failure"},
    };
    for (const auto& [code, message] : messages) EXPECT_EQ(message, GetErrorMsg(code)) << code;
}

}  // namespace
