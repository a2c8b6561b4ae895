# Native sanitizer and libFuzzer build of the pure text code: every byte of
# text that reaches the stub from outside goes through these sources. Not part
# of the Windows cross build; the top-level Makefile runs it as `make fuzz`
# (a long run) and `make fuzz-smoke` (a short one).
#   make -f fuzz/fuzz.mk build|fuzz|fuzz-smoke|coverage [FUZZ_RUNS=n]
#     [FUZZ_TARGETS="target..."]
FUZZ_BUILD ?= build-fuzz
FUZZ_CXX ?= clang++-14
FUZZ_CXXFLAGS = -std=c++20 -fshort-wchar \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -g -O1 \
  -Wall -Wextra -I. -MMD -MP
# The stub's sources get the sanitizers and coverage but not libFuzzer's main.
FUZZ_LIBFLAGS = $(subst fuzzer$(comma),fuzzer-no-link$(comma),$(FUZZ_CXXFLAGS))
comma := ,

# Each target: fuzz/<target>_fuzzer.cc plus the stub sources it exercises.
bounded = support/bounded_string.cc
bounded_length_SOURCES = $(bounded)
bounded_copy_SOURCES = $(bounded)
bounded_append_SOURCES = $(bounded)
ends_with_no_case_SOURCES = $(bounded)
starts_with_no_case_SOURCES = $(bounded)
find_no_case_SOURCES = $(bounded)
after_last_backslash_SOURCES = $(bounded)
fill_bytes_SOURCES = $(bounded)
hex_encode_SOURCES = $(bounded)
terminate_registry_text_SOURCES = support/registry_text.cc
derive_referral_code_SOURCES = launch/referral_code.cc $(bounded)
match_letter_digit_code_SOURCES = launch/referral_code.cc $(bounded)
match_hyphenated_tail_SOURCES = launch/referral_code.cc $(bounded)
append_stub_arguments_SOURCES = launch/stub_arguments.cc \
  support/program_name.cc $(bounded)
command_line = launch/setup_command_line.cc $(bounded)
build_install_command_line_SOURCES = $(command_line)
append_referral_switch_SOURCES = $(command_line)
build_self_update_command_line_SOURCES = $(command_line)
unquote_installed_setup_path_SOURCES = $(command_line)
classify_payload_name_SOURCES = unpack/payload_name.cc $(bounded)
record_payload_item_SOURCES = unpack/payload_name.cc $(bounded)

ALL_TARGETS = bounded_length bounded_copy bounded_append ends_with_no_case \
  starts_with_no_case find_no_case after_last_backslash fill_bytes hex_encode \
  terminate_registry_text derive_referral_code match_letter_digit_code \
  match_hyphenated_tail append_stub_arguments build_install_command_line \
  append_referral_switch build_self_update_command_line \
  unquote_installed_setup_path classify_payload_name record_payload_item
FUZZ_TARGETS ?= $(ALL_TARGETS)
FUZZ_RUNS ?= 1000000

binaries = $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/%_fuzzer)

.PHONY: build fuzz fuzz-smoke coverage
build: $(binaries)

fuzz: build
	@sh fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_RUNS) $(FUZZ_TARGETS)

fuzz-smoke: build
	@sh fuzz/run-fuzzers $(FUZZ_BUILD) 10000 $(FUZZ_TARGETS)

$(FUZZ_BUILD)/obj/%.o: %.cc
	@mkdir -p $(@D)
	@echo "  CXX $<"
	@$(FUZZ_CXX) $(FUZZ_LIBFLAGS) -c $< -o $@

# The harness keeps its edge counters but not the tracing of its comparisons:
# its model and checks compare whole buffers unit by unit, which would cost
# half the run and guide nothing that the traced stub code does not.
$(FUZZ_BUILD)/obj/fuzz/%.o: fuzz/%.cc
	@mkdir -p $(@D)
	@echo "  CXX $<"
	@$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -fno-sanitize-coverage=trace-cmp -c $< -o $@

define fuzz_target
$(FUZZ_BUILD)/$(1)_fuzzer: $(FUZZ_BUILD)/obj/fuzz/$(1)_fuzzer.o \
    $(patsubst %.cc,$(FUZZ_BUILD)/obj/%.o,$(sort $($(1)_SOURCES)))
	@echo "  LINK $$@"
	@$(FUZZ_CXX) $(FUZZ_CXXFLAGS) $$^ -o $$@
endef
$(foreach target,$(ALL_TARGETS),$(eval $(call fuzz_target,$(target))))

# Line and region coverage of the stub sources reached by the corpora that the
# runs collected (BUILD/corpus/) and the seeds: a source-coverage build of
# every target replays them once, without sanitizers.
FUZZ_COVFLAGS = -std=c++20 -fshort-wchar -fsanitize=fuzzer -g -O0 -I. \
  -fprofile-instr-generate -fcoverage-mapping
stub_sources = $(sort $(foreach target,$(FUZZ_TARGETS),$($(target)_SOURCES)))
define coverage_run
	@$(FUZZ_CXX) $(FUZZ_COVFLAGS) fuzz/$(1)_fuzzer.cc $(sort $($(1)_SOURCES)) \
	  -o $(FUZZ_BUILD)/coverage/$(1)
	@mkdir -p $(FUZZ_BUILD)/corpus/$(1)
	@LLVM_PROFILE_FILE=$(FUZZ_BUILD)/coverage/$(1).profraw \
	  $(FUZZ_BUILD)/coverage/$(1) -runs=0 $(FUZZ_BUILD)/corpus/$(1) \
	  fuzz/corpus/$(1) >/dev/null 2>&1

endef
coverage:
	@mkdir -p $(FUZZ_BUILD)/coverage
	@rm -f $(FUZZ_BUILD)/coverage/*.profraw
	$(foreach target,$(FUZZ_TARGETS),$(call coverage_run,$(target)))
	@# The harnesses differ between targets; only the stub's functions, alike
	@# in every target, are merged meaningfully, hence the quiet merge.
	@llvm-profdata-14 merge -sparse $(FUZZ_BUILD)/coverage/*.profraw \
	  -o $(FUZZ_BUILD)/coverage/all.profdata 2>/dev/null
	@llvm-cov-14 report $(FUZZ_BUILD)/coverage/$(firstword $(FUZZ_TARGETS)) \
	  $(foreach target,$(wordlist 2,99,$(FUZZ_TARGETS)),\
	  -object $(FUZZ_BUILD)/coverage/$(target)) \
	  -instr-profile=$(FUZZ_BUILD)/coverage/all.profdata $(stub_sources)

-include $(shell find $(FUZZ_BUILD)/obj -name '*.d' 2>/dev/null)
