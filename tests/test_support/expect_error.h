// Asserts that a statement raises AppError with a given number and description.
#pragma once

#include <gtest/gtest.h>

#include "core/app_error.h"

#define EXPECT_APP_ERROR(statement, expected_number, expected_description)               \
  do {                                                                                     \
    try {                                                                                  \
      statement;                                                                           \
      ADD_FAILURE() << "expected AppError " << (expected_number) << " from " #statement;   \
    } catch (const ::halyard::AppError& error_) {                                          \
      EXPECT_EQ(error_.Number(), (expected_number)) << error_.Description();               \
      EXPECT_EQ(error_.Description(), (expected_description));                            \
    }                                                                                      \
  } while (false)

/// Like EXPECT_APP_ERROR but checks only the number; the description must name something.
#define EXPECT_APP_ERROR_NUMBER(statement, expected_number)                                \
  do {                                                                                     \
    try {                                                                                  \
      statement;                                                                           \
      ADD_FAILURE() << "expected AppError " << (expected_number) << " from " #statement;   \
    } catch (const ::halyard::AppError& error_) {                                          \
      EXPECT_EQ(error_.Number(), (expected_number)) << error_.Description();               \
    }                                                                                      \
  } while (false)
