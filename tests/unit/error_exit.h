// Death-test checks of what a statement prints before it ends the process.
#pragma once
#include <windows.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

// The statement must end the process with the exit code and console output
// that matches matcher. The console output goes to standard error in the
// child, where the death test reads it (with plain line feeds).
#define EXPECT_CONSOLE_EXIT(statement, code, matcher)                                        \
    EXPECT_EXIT(                                                                             \
        {                                                                                    \
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));                 \
            statement;                                                                       \
        },                                                                                   \
        ::testing::ExitedWithCode(code), matcher)

// The statement must end the process with exit code 1 after printing the
// error line with the given text and "Program stopped."; with _THAT, the
// output must also match matcher.
#define EXPECT_ERROR_EXIT_THAT(statement, message, matcher)                                  \
    EXPECT_CONSOLE_EXIT(statement, 1,                                                        \
                        ::testing::AllOf(::testing::HasSubstr(std::string("  ERROR    ") + (message)), \
                                         ::testing::HasSubstr("Program stopped."), matcher))

#define EXPECT_ERROR_EXIT(statement, message) EXPECT_ERROR_EXIT_THAT(statement, message, ::testing::_)
