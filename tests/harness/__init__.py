"""What stages and drives Norvalithd for its tests, benchmarks and demo: facts, sandbox,
telegrams, traffic, load, scenario and the system test runner (python3 -m harness.system).
Run with tests/ on PYTHONPATH, as the scripts and CTest do."""
