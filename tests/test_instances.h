// test_instances.h - instances a test fixture creates through the library's
// exports and gives back at its end, whichever transport the test runs on.
#ifndef BREVANT_TESTS_TEST_INSTANCES_H
#define BREVANT_TESTS_TEST_INSTANCES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "brevant.h"

class TestInstances {
   protected:
    // An instance releaseInstances() disconnects and destroys.
    CFP2INSTANCE *create(int type, std::uint16_t index) {
        CFP2INSTANCE *instance = veskcfp2_createInstance(type, index);
        instances_.push_back(instance);
        return instance;
    }
    // The same, connected (a failed connect fails the test).
    CFP2INSTANCE *connected(int type, std::uint16_t index) {
        CFP2INSTANCE *instance = create(type, index);
        EXPECT_EQ(veskcfp2_connect(instance), 1);
        return instance;
    }

    void releaseInstances() {
        for (CFP2INSTANCE *instance : instances_) {
            veskcfp2_disconnect(instance);
            veskcfp2_destroyInstance(instance);
        }
        instances_.clear();
    }

   private:
    std::vector<CFP2INSTANCE *> instances_;
};

#endif
