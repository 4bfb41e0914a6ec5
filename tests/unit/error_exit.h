// Death-test check for an error entry.
#pragma once
#include <windows.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

// The statement must end the process with exit code 1 after printing the
// error line with the given text. The console output goes to standard error
// in the child, where the death test reads it.
#define EXPECT_ERROR_EXIT(statement, message)                                                \
    EXPECT_EXIT(                                                                             \
        {                                                                                    \
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));                 \
            statement;                                                                       \
        },                                                                                   \
        ::testing::ExitedWithCode(1),                                                        \
        ::testing::AllOf(::testing::HasSubstr(std::string("  ERROR    ") + (message)),       \
                         ::testing::HasSubstr("Program stopped.")))
