#include "platform/registry/StatementCache.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

TEST(StatementCache, ReusesItsStatementsAndGivesANestedUseOneOfItsOwn)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT);"
                           "INSERT INTO keys VALUES(1, NULL, 'root'), (2, 1, 'child');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    {
        CStatementCache cache(db);
        int nCode = -1;
        sqlite3_stmt* pFirst = nullptr;
        {
            auto outer = cache.Use(CStatementCache::KeyExists, &nCode);
            ASSERT_TRUE(outer);
            EXPECT_EQ(nCode, SQLITE_OK);
            pFirst = outer.get();
            sqlite3_bind_int64(outer.get(), 1, 1);
            ASSERT_EQ(sqlite3_step(outer.get()), SQLITE_ROW);

            // The same statement asked for while it is stepping: a separate one, so the
            // outer lookup's row and bindings survive.
            auto inner = cache.Use(CStatementCache::KeyExists, &nCode);
            ASSERT_TRUE(inner);
            EXPECT_NE(inner.get(), outer.get());
            sqlite3_bind_int64(inner.get(), 1, 3);
            EXPECT_EQ(sqlite3_step(inner.get()), SQLITE_DONE);
            EXPECT_EQ(sqlite3_column_int(outer.get(), 0), 1);
        }
        // Back in the cache: the same statement, reset, its bindings gone (id NULL: no row).
        auto again = cache.Use(CStatementCache::KeyExists, &nCode);
        ASSERT_EQ(again.get(), pFirst);
        EXPECT_EQ(sqlite3_stmt_busy(again.get()), 0);
        EXPECT_EQ(sqlite3_step(again.get()), SQLITE_DONE);

        // A statement over a table this file lacks cannot be prepared: reported, not cached.
        auto missing = cache.Use(CStatementCache::SelectValue, &nCode);
        EXPECT_FALSE(missing);
        EXPECT_EQ(nCode, SQLITE_ERROR);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE vals(key INTEGER, name TEXT, type INTEGER, data BLOB)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_TRUE(cache.Use(CStatementCache::SelectValue, &nCode));
    }
    // Every statement was finalised with the cache, so the connection closes at once.
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
}
