// tsh_hooks.cpp - the product's side of tsh_hooks.h. Weak, so that a test
// build's definitions take their place.
#include "tsh_hooks.h"

__attribute__((weak)) long test_knob(Knob, long product)
{
    return product;
}

__attribute__((weak)) void test_point(TestPoint)
{
}

__attribute__((weak)) void json_fault_init()
{
}

__attribute__((weak)) void json_fault_arm()
{
}
